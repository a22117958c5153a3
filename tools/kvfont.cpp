// kvfont OUTPUT [--font-dir DIR] [--hinting auto|native|none]: renders Inter (Debian's fonts-inter)
// into the program's embedded bitmap font, KVF1. kvfont --versions: prints the font, FreeType and
// HarfBuzz versions the output depends on, in the form gui/font/VERSIONS records them.
//
// Coverage comes from FreeType's auto-hinter in its light mode: outlines are
// snapped vertically only, so baselines, x-heights and the horizontal parts
// of letters sit on whole pixels and read crisp and dark at 16-20 px, while
// the horizontal shapes and the fractional advances stay as designed. At
// 16 px it gave darker, sharper text than the font's own CFF hints (which
// FreeType applies only lightly) and than no hinting; --hinting tries the
// others. Kerning comes from the font's pair positioning through HarfBuzz,
// since FreeType's kerning call reads only the old table that Inter lacks.

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SFNT_NAMES_H
#include FT_TRUETYPE_IDS_H
#include <hb.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kDefaultFontDir = "/usr/share/fonts/opentype/inter";
constexpr const char* kRegularFile = "Inter-Regular.otf";
constexpr const char* kBoldFile = "Inter-Bold.otf";

struct SizeSpec {
    int pixel_size;
    int ascent;
    int descent;
    int line_height;
};

// The vertical metrics the front end lays out with: Inter's ascender and
// descender rounded up at each size, and a line height with room between
// lines.
constexpr SizeSpec kSizes[] = {
    {16, 16, 4, 23}, {20, 20, 5, 29},  {26, 26, 7, 38},
    {32, 31, 8, 45}, {40, 39, 10, 57}, {52, 51, 13, 74},
};

constexpr size_t kMinKerningPairs = 1024;
constexpr size_t kMaxKerningPairs = 1201;
constexpr size_t kHeaderBytes = 12;
constexpr size_t kSizeRecordBytes = 20;
constexpr size_t kMetricsBytes = 12;
constexpr size_t kKerningBytes = 4;

std::vector<uint32_t> code_points() {
    std::vector<uint32_t> cps;
    for (uint32_t c = 0x20; c <= 0x7E; c++)
        cps.push_back(c);
    for (uint32_t c = 0xA0; c <= 0xFF; c++)
        cps.push_back(c);
    for (uint32_t c : {0x2013u, 0x2014u, 0x2018u, 0x2019u, 0x201Cu, 0x201Du, 0x2022u, 0x2026u,
                       0x2190u, 0x2191u, 0x2192u, 0x2193u, 0x2212u, 0x2264u, 0x2265u})
        cps.push_back(c);
    return cps;
}

void put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    put16(out, at, v & 0xFFFF);
    put16(out, at + 2, v >> 16);
}

struct Face {
    FT_Face ft = nullptr;
    hb_font_t* hb = nullptr;
    std::string version;

    Face() = default;
    Face(const Face&) = delete;
    Face& operator=(const Face&) = delete;
    ~Face() {
        if (hb) hb_font_destroy(hb);
        if (ft) FT_Done_Face(ft);
    }
};

// Frees the library after the faces made with it (declared before them).
struct Library {
    FT_Library ft = nullptr;
    ~Library() {
        if (ft) FT_Done_FreeType(ft);
    }
};

bool open_face(FT_Library library, const std::string& path, Face* face) {
    if (FT_New_Face(library, path.c_str(), 0, &face->ft) != 0) {
        std::fprintf(stderr, "kvfont: cannot open %s\n", path.c_str());
        return false;
    }
    hb_blob_t* blob = hb_blob_create_from_file_or_fail(path.c_str());
    if (!blob) {
        std::fprintf(stderr, "kvfont: cannot read %s\n", path.c_str());
        return false;
    }
    hb_face_t* hb_face = hb_face_create(blob, 0);
    face->hb = hb_font_create(hb_face);
    hb_face_destroy(hb_face);
    hb_blob_destroy(blob);

    const FT_UInt names = FT_Get_Sfnt_Name_Count(face->ft);
    for (FT_UInt i = 0; i < names; i++) {
        FT_SfntName name;
        if (FT_Get_Sfnt_Name(face->ft, i, &name) != 0 || name.name_id != TT_NAME_ID_VERSION_STRING)
            continue;
        // The Macintosh record is plain bytes; the Windows one is UTF-16BE.
        std::string text;
        const bool wide = name.platform_id == TT_PLATFORM_MICROSOFT;
        for (FT_UInt b = wide ? 1 : 0; b < name.string_len; b += wide ? 2 : 1)
            text.push_back(char(name.string[b]));
        face->version = text;
        if (!wide) break;
    }
    return true;
}

struct Glyph {
    uint16_t advance = 0;
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bits; // packed two pixels a byte, even column low
};

FT_Int32 g_load_flags = FT_LOAD_FORCE_AUTOHINT | FT_LOAD_TARGET_LIGHT;
FT_Render_Mode g_render_mode = FT_RENDER_MODE_LIGHT;

bool render_glyph(const Face& face, uint32_t cp, Glyph* glyph) {
    const FT_UInt index = FT_Get_Char_Index(face.ft, cp);
    if (index == 0) {
        std::fprintf(stderr, "kvfont: the font has no U+%04X\n", cp);
        return false;
    }
    if (FT_Load_Glyph(face.ft, index, g_load_flags) != 0 ||
        FT_Render_Glyph(face.ft->glyph, g_render_mode) != 0) {
        std::fprintf(stderr, "kvfont: cannot render U+%04X\n", cp);
        return false;
    }
    const FT_GlyphSlot slot = face.ft->glyph;
    // The unhinted advance (16.16 pixels) keeps the designed spacing; the
    // pen adds it in 1/64 pixel.
    const long advance = (slot->linearHoriAdvance + 512) >> 10;
    const FT_Bitmap& bitmap = slot->bitmap;
    if (advance > 0xFFFF || bitmap.width > 255 || bitmap.rows > 255 || slot->bitmap_left < -128 ||
        slot->bitmap_left > 127 || slot->bitmap_top < -127 || slot->bitmap_top > 128) {
        std::fprintf(stderr, "kvfont: U+%04X does not fit the format\n", cp);
        return false;
    }
    glyph->advance = uint16_t(advance);
    glyph->left = slot->bitmap_left;
    glyph->top = -slot->bitmap_top;
    glyph->width = int(bitmap.width);
    glyph->height = int(bitmap.rows);
    if (glyph->width == 0 || glyph->height == 0) {
        glyph->width = glyph->height = 0;
        glyph->left = glyph->top = 0;
        return true;
    }
    const int row_bytes = (glyph->width + 1) / 2;
    glyph->bits.assign(size_t(row_bytes) * glyph->height, 0);
    for (int y = 0; y < glyph->height; y++) {
        const uint8_t* row = bitmap.buffer + ptrdiff_t(y) * bitmap.pitch;
        for (int x = 0; x < glyph->width; x++) {
            const unsigned level = (row[x] * 15u + 127u) / 255u;
            glyph->bits[size_t(y) * row_bytes + x / 2] |= uint8_t(level << ((x & 1) * 4));
        }
    }
    return true;
}

struct Pair {
    uint16_t key;
    int16_t adjustment;
};

uint32_t hb_glyph(hb_font_t* font, uint32_t cp) {
    hb_codepoint_t glyph = 0;
    hb_font_get_nominal_glyph(font, cp, &glyph);
    return glyph;
}

// Shapes every pair of printable ASCII characters and keeps the difference
// between the shaped width and the two plain advances. Ligatures and
// contextual alternates are off: the program draws one glyph per character.
bool kerning_pairs(const Face& face, int pixel_size, std::vector<Pair>* out) {
    hb_font_set_scale(face.hb, pixel_size * 64, pixel_size * 64);
    static const char* const kFeatureText[] = {"-liga", "-clig", "-calt", "-dlig", "-rlig"};
    hb_feature_t features[5];
    for (int i = 0; i < 5; i++)
        hb_feature_from_string(kFeatureText[i], -1, &features[i]);

    std::vector<Pair> found;
    hb_buffer_t* buffer = hb_buffer_create();
    for (uint32_t first = 33; first <= 126; first++) {
        for (uint32_t second = 33; second <= 126; second++) {
            hb_buffer_clear_contents(buffer);
            const uint32_t text[2] = {first, second};
            hb_buffer_add_utf32(buffer, text, 2, 0, 2);
            hb_buffer_set_direction(buffer, HB_DIRECTION_LTR);
            hb_buffer_set_script(buffer, HB_SCRIPT_LATIN);
            hb_buffer_set_language(buffer, hb_language_from_string("en", -1));
            hb_shape(face.hb, buffer, features, 5);
            unsigned count = 0;
            const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer, &count);
            if (count != 2) continue;
            const int shaped = pos[0].x_advance + pos[1].x_advance;
            const int plain = hb_font_get_glyph_h_advance(face.hb, hb_glyph(face.hb, first)) +
                              hb_font_get_glyph_h_advance(face.hb, hb_glyph(face.hb, second));
            const int adjustment = shaped - plain;
            if (adjustment != 0)
                found.push_back({uint16_t(first * 256 + second), int16_t(adjustment)});
        }
    }
    hb_buffer_destroy(buffer);

    // Debian 12's Inter (3.019) kerns fewer printable ASCII pairs than the
    // layout allows for; every one it has is kept, none is made up.
    if (found.size() < kMinKerningPairs)
        std::fprintf(stderr, "kvfont: note: the font kerns %zu pairs at %d px (fewer than %zu)\n",
                     found.size(), pixel_size, kMinKerningPairs);
    // Too many: the largest adjustments matter most to the eye.
    std::stable_sort(found.begin(), found.end(), [](const Pair& a, const Pair& b) {
        return std::abs(a.adjustment) > std::abs(b.adjustment);
    });
    if (found.size() > kMaxKerningPairs) found.resize(kMaxKerningPairs);
    std::sort(found.begin(), found.end(),
              [](const Pair& a, const Pair& b) { return a.key < b.key; });
    *out = found;
    return true;
}

// Fails when the font's own ascender and descender, rounded up, disagree
// with the table the layout was made for.
bool check_vertical_metrics(const Face& face, const SizeSpec& size) {
    const long upem = face.ft->units_per_EM;
    const long ascent = (face.ft->ascender * size.pixel_size + upem - 1) / upem;
    const long descent = (-face.ft->descender * size.pixel_size + upem - 1) / upem;
    if (ascent == size.ascent && descent == size.descent) return true;
    std::fprintf(stderr, "kvfont: %d px: the font gives ascent %ld, descent %ld\n", size.pixel_size,
                 ascent, descent);
    return false;
}

std::string versions_text(const Face& regular, const Face& bold, FT_Library library) {
    FT_Int major = 0, minor = 0, patch = 0;
    FT_Library_Version(library, &major, &minor, &patch);
    std::string text = "font " + std::string(kRegularFile) + " " + regular.version + "\n";
    text += "font " + std::string(kBoldFile) + " " + bold.version + "\n";
    text += "freetype " + std::to_string(major) + "." + std::to_string(minor) + "." +
            std::to_string(patch) + "\n";
    text += "harfbuzz " + std::string(hb_version_string()) + "\n";
    return text;
}

bool build_blob(Face* faces[2], std::vector<uint8_t>* blob) {
    const std::vector<uint32_t> cps = code_points();
    const size_t size_count = 2 * std::size(kSizes);
    std::vector<uint8_t>& out = *blob;
    out.assign(kHeaderBytes + kSizeRecordBytes * size_count + 4 * cps.size(), 0);
    std::memcpy(out.data(), "KVF1", 4);
    put16(out, 4, uint32_t(size_count));
    put16(out, 6, uint32_t(cps.size()));
    const size_t cp_offset = kHeaderBytes + kSizeRecordBytes * size_count;
    put32(out, 8, uint32_t(cp_offset));
    for (size_t i = 0; i < cps.size(); i++)
        put32(out, cp_offset + 4 * i, cps[i]);

    size_t record = kHeaderBytes;
    for (const SizeSpec& size : kSizes) {
        for (int bold = 0; bold < 2; bold++, record += kSizeRecordBytes) {
            Face& face = *faces[bold];
            if (!check_vertical_metrics(face, size)) return false;
            if (FT_Set_Pixel_Sizes(face.ft, 0, FT_UInt(size.pixel_size)) != 0) return false;
            std::vector<Glyph> glyphs(cps.size());
            for (size_t i = 0; i < cps.size(); i++)
                if (!render_glyph(face, cps[i], &glyphs[i])) return false;
            std::vector<Pair> pairs;
            if (!kerning_pairs(face, size.pixel_size, &pairs)) return false;

            out[record] = uint8_t(size.pixel_size);
            out[record + 1] = uint8_t(bold);
            out[record + 2] = uint8_t(size.ascent);
            out[record + 3] = uint8_t(size.descent);
            out[record + 4] = uint8_t(size.line_height);
            const size_t metrics = out.size();
            const size_t kerning = metrics + kMetricsBytes * cps.size();
            put32(out, record + 8, uint32_t(metrics));
            put32(out, record + 12, uint32_t(kerning));
            put32(out, record + 16, uint32_t(pairs.size()));
            out.resize(kerning + kKerningBytes * pairs.size(), 0);
            for (size_t i = 0; i < pairs.size(); i++) {
                put16(out, kerning + 4 * i,
                      uint32_t(pairs[i].key >> 8) | (pairs[i].key & 0xFF) << 8);
                put16(out, kerning + 4 * i + 2, uint16_t(pairs[i].adjustment));
            }
            for (size_t i = 0; i < glyphs.size(); i++) {
                const Glyph& g = glyphs[i];
                const size_t at = metrics + kMetricsBytes * i;
                put16(out, at, g.advance);
                out[at + 2] = uint8_t(int8_t(g.left));
                out[at + 3] = uint8_t(int8_t(g.top));
                out[at + 4] = uint8_t(g.width);
                out[at + 5] = uint8_t(g.height);
                put32(out, at + 8, uint32_t(out.size()));
                out.insert(out.end(), g.bits.begin(), g.bits.end());
            }
            if (out.size() > UINT32_MAX) return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const char* output = nullptr;
    std::string font_dir = kDefaultFontDir;
    bool versions = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--versions") == 0) {
            versions = true;
        } else if (std::strcmp(argv[i], "--hinting") == 0 && i + 1 < argc) {
            const char* mode = argv[++i];
            if (std::strcmp(mode, "none") == 0) {
                g_load_flags = FT_LOAD_NO_HINTING;
                g_render_mode = FT_RENDER_MODE_NORMAL;
            } else if (std::strcmp(mode, "native") == 0) {
                g_load_flags = FT_LOAD_TARGET_LIGHT;
            } else if (std::strcmp(mode, "auto") != 0) {
                output = nullptr;
                versions = false;
                break;
            }
        } else if (std::strcmp(argv[i], "--font-dir") == 0 && i + 1 < argc) {
            font_dir = argv[++i];
        } else if (!output && argv[i][0] != '-') {
            output = argv[i];
        } else {
            output = nullptr;
            versions = false;
            break;
        }
    }
    if (!output && !versions) {
        std::fprintf(stderr, "usage: kvfont OUTPUT [--font-dir DIR] [--hinting auto|native|none] | "
                             "kvfont --versions\n");
        return 2;
    }

    Library owner;
    if (FT_Init_FreeType(&owner.ft) != 0) return 1;
    FT_Library library = owner.ft;
    Face regular, bold;
    if (!open_face(library, font_dir + "/" + kRegularFile, &regular) ||
        !open_face(library, font_dir + "/" + kBoldFile, &bold))
        return 1;
    if (versions) {
        std::fputs(versions_text(regular, bold, library).c_str(), stdout);
        return 0;
    }

    Face* faces[2] = {&regular, &bold};
    std::vector<uint8_t> blob;
    if (!build_blob(faces, &blob)) return 1;
    FILE* file = std::fopen(output, "wb");
    if (!file || std::fwrite(blob.data(), 1, blob.size(), file) != blob.size() ||
        std::fclose(file) != 0) {
        std::fprintf(stderr, "kvfont: cannot write %s\n", output);
        return 1;
    }
    std::printf("kvfont: wrote %zu bytes to %s\n", blob.size(), output);
    return 0;
}
