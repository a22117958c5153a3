#include "platform/utf.h"

#include "platform/memory.h"
#include "platform/strbuf.h"
#include "platform/strings.h"

namespace kv {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

} // namespace

uint32_t utf8_decode(const char* bytes, size_t available, size_t* consumed) {
    if (available == 0) {
        *consumed = 0;
        return 0;
    }
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
    unsigned char lead = s[0];
    *consumed = 1;
    if (lead < 0x80) return lead;
    size_t length;
    uint32_t cp;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return kReplacement;
    }
    if (available < length) return kReplacement;
    for (size_t i = 1; i < length; i++) {
        if ((s[i] & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    // Overlong forms and surrogates pass: the text only has to be displayable.
    *consumed = length;
    return cp;
}

int utf8_encode(uint32_t cp, char* out) {
    if (cp <= 0x7F) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp <= 0x7FF) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp <= 0xFFFF) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | ((cp >> 18) & 0x07));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

size_t utf8_count(const char* bytes, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < n; count++) {
        size_t step;
        utf8_decode(bytes + i, n - i, &step);
        i += step;
    }
    return count;
}

size_t utf8_prefix_bytes(const char* bytes, size_t n, size_t k) {
    size_t i = 0;
    for (size_t chars = 0; i < n && chars < k; chars++) {
        size_t step;
        utf8_decode(bytes + i, n - i, &step);
        i += step;
    }
    return i;
}

size_t utf8_whole_prefix(const char* text, size_t length) {
    size_t lead = length;
    while (lead > 0 && length - lead < 3 && ((uint8_t)text[lead - 1] & 0xC0) == 0x80)
        lead--;
    if (lead == 0) return length;
    uint8_t c = (uint8_t)text[lead - 1];
    if (c < 0xC0) return length;
    size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    return length - (lead - 1) >= need ? length : lead - 1;
}

char16_t* utf8_to_utf16(const char* text, size_t* out_count) {
    size_t len = strlen(text);
    // Every unit comes from at least one byte, so len units always suffice.
    char16_t* units = static_cast<char16_t*>(xmalloc(2 * len + 2));
    size_t count = 0;
    for (size_t i = 0; i < len;) {
        size_t step;
        uint32_t cp = utf8_decode(text + i, len - i, &step);
        i += step;
        units[count++] = static_cast<char16_t>(cp > 0xFFFF ? kReplacement : cp);
    }
    units[count] = 0;
    if (out_count) *out_count = count;
    return units;
}

char* utf16_to_utf8(const char16_t* units, size_t n) {
    StrBuf b;
    strbuf_init(&b);
    for (size_t i = 0; i < n && units[i]; i++) {
        char bytes[4];
        int len = utf8_encode(units[i], bytes);
        strbuf_append(&b, bytes, static_cast<size_t>(len));
    }
    return strbuf_take(&b);
}

} // namespace kv
