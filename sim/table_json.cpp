#include "sim/table_json.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "disk/guid.h"
#include "disk/types.h"

namespace sim {

namespace {

void append_escape(std::string& out, uint32_t unit) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", unit);
    out += buffer;
}

// Length of the well-formed UTF-8 sequence at the start of s, or 0; *cp gets
// the code point. Surrogates decode like any other code point here.
size_t utf8_sequence(std::string_view s, uint32_t* cp) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(0);
    size_t length;
    uint32_t value;
    uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < length) return 0;
    for (size_t i = 1; i < length; i++) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < min || value > 0x10FFFF) return 0;
    *cp = value;
    return length;
}

std::string quoted(std::string_view text) {
    return "\"" + json_escape(text) + "\"";
}

std::string guid_text(const uint8_t guid[16]) {
    char text[kv::kGuidTextSize];
    kv::guid_to_text(guid, text);
    return quoted(text);
}

const char* table_kind_name(kv::TableKind kind) {
    switch (kind) {
    case kv::TableKind::Mbr:
        return "mbr";
    case kv::TableKind::Gpt:
        return "gpt";
    default:
        return "none";
    }
}

// Names and notes live in fixed buffers; never read past one even when its
// terminator is missing.
std::string_view bounded(const char* text, size_t size) {
    size_t n = 0;
    while (n < size && text[n] != '\0')
        n++;
    return std::string_view(text, n);
}

const char* boolean(bool value) {
    return value ? "true" : "false";
}

// Collects "key": value pairs; the separator decides the layout.
class Members {
  public:
    Members(std::string& out, const char* separator) : out_(out), separator_(separator) {}
    void add(const char* key, const std::string& value) {
        if (!first_) out_ += separator_;
        first_ = false;
        out_ += '"';
        out_ += key;
        out_ += "\": ";
        out_ += value;
    }

  private:
    std::string& out_;
    const char* separator_;
    bool first_ = true;
};

std::string partition_json(const kv::PartitionTable& table, const kv::Partition& p) {
    char type[64];
    kv::type_text(&table, &p, type, sizeof type);
    std::string out = "{";
    Members m(out, ", ");
    m.add("number", std::to_string(p.number));
    m.add("kind", quoted(partition_kind_name(p.kind)));
    m.add("start", std::to_string(p.start));
    m.add("size", std::to_string(p.size));
    m.add("type_byte", std::to_string(p.mbr_type));
    m.add("type_guid", guid_text(p.type_guid));
    m.add("unique_guid", guid_text(p.unique_guid));
    m.add("attributes", std::to_string(p.attributes));
    m.add("name", quoted(bounded(p.name, sizeof p.name)));
    m.add("active", boolean(p.active));
    m.add("ebr_block", std::to_string(p.ebr_block));
    m.add("changed", boolean(p.changed));
    m.add("type_text", quoted(type));
    out += "}";
    return out;
}

// One element a line, so that a listing reads well and diffs well.
std::string array_json(const std::vector<std::string>& items) {
    if (items.empty()) return "[]";
    std::string out = "[\n";
    for (size_t i = 0; i < items.size(); i++) {
        out += "    " + items[i];
        out += i + 1 < items.size() ? ",\n" : "\n";
    }
    out += "  ]";
    return out;
}

} // namespace

std::string json_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            i++;
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            append_escape(out, c);
            i++;
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            i++;
            continue;
        }
        uint32_t cp = 0;
        size_t n = utf8_sequence(text.substr(i), &cp);
        if (n == 0) {
            append_escape(out, 0xFFFD);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            // What an unpaired UTF-16 unit of a GPT name turns into; JSON
            // can carry it as an escape, raw it would be invalid UTF-8.
            append_escape(out, cp);
            i += n;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

const char* partition_kind_name(kv::PartitionKind kind) {
    switch (kind) {
    case kv::PartitionKind::Extended:
        return "extended";
    case kv::PartitionKind::Logical:
        return "logical";
    default:
        return "primary";
    }
}

std::string table_to_json(const kv::PartitionTable& table) {
    std::vector<std::string> partitions;
    for (int32_t i = 0; table.partitions && i < table.partition_count; i++)
        partitions.push_back(partition_json(table, table.partitions[i]));
    std::vector<std::string> notes;
    for (int32_t i = 0; i < table.note_count && i < kv::kMaxNotes; i++)
        notes.push_back(quoted(bounded(table.notes[i].text, kv::kNoteSize)));

    std::string out = "{\n  ";
    Members m(out, ",\n  ");
    m.add("kind", quoted(table_kind_name(table.kind)));
    m.add("block_size", std::to_string(table.block_size));
    m.add("block_count", std::to_string(table.block_count));
    m.add("mbr_signature", std::to_string(table.mbr_signature));
    m.add("disk_guid", guid_text(table.disk_guid));
    m.add("first_usable", std::to_string(table.first_usable));
    m.add("last_usable", std::to_string(table.last_usable));
    m.add("entry_count", std::to_string(table.entry_count));
    m.add("entry_size", std::to_string(table.entry_size));
    m.add("primary_array_lba", std::to_string(table.primary_array_lba));
    m.add("backup_header_lba", std::to_string(table.backup_header_lba));
    m.add("backup_array_lba", std::to_string(table.backup_array_lba));
    m.add("hybrid", boolean(table.hybrid));
    m.add("backup_kept", boolean(table.backup_kept));
    m.add("chain_cut", boolean(table.chain_cut));
    m.add("needs_repair", boolean(table.needs_repair));
    m.add("unread_entry_count", std::to_string(table.unread_entry_count));
    m.add("partitions", array_json(partitions));
    m.add("notes", array_json(notes));
    out += "\n}\n";
    return out;
}

} // namespace sim
