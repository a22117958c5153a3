// kvedit IMAGE [--block-size N] 'SCRIPT': edits the partition table of a disk
// image with the program's own editing operations and writes it with the
// program's writer when the script says so. The script grammar is described
// in README.md ("kvedit").
//
// The whole script is parsed before anything runs. An operation that the
// table refuses prints its error text and ends the run with status 1; a
// `write` earlier in the script stays done, nothing after it happens.

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disk/guid.h"
#include "disk/model.h"
#include "disk/read_table.h"
#include "disk/types.h"
#include "edit/edit_ops.h"
#include "edit/free_space.h"
#include "edit/size.h"
#include "io/write_table.h"
#include "platform/error.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "tools/image_tool.h"

namespace {

constexpr uint32_t kDefaultBlockSize = 512;

struct Operation {
    std::string text;               // as typed, for messages
    std::vector<std::string> words; // the verb first
};

int fail(const std::string& message) {
    std::fprintf(stderr, "kvedit: %s\n", message.c_str());
    return 1;
}

constexpr char kUsage[] = "usage: kvedit IMAGE [--block-size N] 'SCRIPT'";

// A wrong command line is told apart from a refused operation by its status.
int usage(const std::string& why = "") {
    std::fprintf(stderr, "kvedit: %s%s\n", why.empty() ? "" : (why + "; ").c_str(), kUsage);
    return 2;
}

int help() {
    std::printf("%s\n\n"
                "Reads the partition table of the disk image IMAGE and runs the operations of\n"
                "SCRIPT on it, separated by ';':\n"
                "  new mbr|gpt|none                      a new empty table, or none\n"
                "  add [primary|logical] START SIZE TYPE [NAME...]\n"
                "  delete N    type N TYPE    name N [TEXT...]    active N [on|off]\n"
                "  write                                 write the table to IMAGE\n"
                "START and SIZE as 1M, 1.5G, 2048S (blocks) or MiB; SIZE may be rest. TYPE\n"
                "is a type name, a GPT type GUID or an MBR type byte in hex. Nothing is\n"
                "written without write.\n\n"
                "  --block-size N  the image's block size, a power of two from 512 (default 512)\n"
                "  -h, --help      this text\n\n"
                "Exit status: 0 when every operation ran; 1 when one was refused or the image\n"
                "failed; 2 for a wrong command line. See kvedit(1).\n",
                kUsage);
    return 0;
}

// Splits the script into operations at ';' and into words at blanks. Double
// or single quotes group words (and may hold ';'); a backslash inside them
// takes the next character as it is. Empty operations are dropped.
bool split_script(const std::string& script, std::vector<Operation>* ops, std::string* error) {
    Operation op;
    std::string word;
    bool in_word = false;
    char quote = 0; // the quote that is open, or 0
    auto end_word = [&]() {
        if (in_word) op.words.push_back(word);
        word.clear();
        in_word = false;
    };
    auto end_operation = [&]() {
        end_word();
        size_t first = op.text.find_first_not_of(" \t\n");
        size_t last = op.text.find_last_not_of(" \t\n");
        op.text = first == std::string::npos ? "" : op.text.substr(first, last - first + 1);
        if (!op.words.empty()) ops->push_back(op);
        op = Operation{};
    };
    for (size_t i = 0; i < script.size(); i++) {
        char c = script[i];
        if (quote != 0) {
            op.text += c;
            if (c == quote) {
                quote = 0;
            } else if (c == '\\' && i + 1 < script.size()) {
                word += script[++i];
                op.text += script[i];
            } else {
                word += c;
            }
            continue;
        }
        if (c == ';') {
            end_operation();
            continue;
        }
        op.text += c;
        if (c == ' ' || c == '\t' || c == '\n') {
            end_word();
        } else if (c == '"' || c == '\'') {
            quote = c;
            in_word = true;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote != 0) {
        *error = "a quoted text is not closed";
        return false;
    }
    end_operation();
    return true;
}

bool is_number(const std::string& text) {
    if (text.empty() || text.size() > 9) return false;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// The grammar of each verb: the arguments that must be there, before any
// operation runs. Empty when the operation is well-formed.
std::string check_syntax(const Operation& op) {
    const std::vector<std::string>& w = op.words;
    const std::string& verb = w[0];
    size_t args = w.size() - 1;
    if (verb == "new") {
        if (args == 1 && (w[1] == "mbr" || w[1] == "gpt" || w[1] == "none")) return "";
        return "expected: new mbr|gpt|none";
    }
    if (verb == "add") {
        size_t first = args >= 1 && (w[1] == "primary" || w[1] == "logical") ? 2 : 1;
        if (w.size() >= first + 3) return "";
        return "expected: add [primary|logical] START SIZE TYPE [NAME...]";
    }
    if (verb == "delete") {
        if (args == 1 && is_number(w[1])) return "";
        return "expected: delete N";
    }
    if (verb == "type") {
        if (args == 2 && is_number(w[1])) return "";
        return "expected: type N TYPE";
    }
    if (verb == "name") {
        if (args >= 1 && is_number(w[1])) return "";
        return "expected: name N [TEXT...]";
    }
    if (verb == "active") {
        if ((args == 1 || (args == 2 && (w[2] == "on" || w[2] == "off"))) && is_number(w[1]))
            return "";
        return "expected: active N [on|off]";
    }
    if (verb == "write" || verb == "repair") {
        if (args == 0) return "";
        return "expected: " + verb;
    }
    return "unknown operation '" + verb + "'";
}

std::string join(const std::vector<std::string>& words, size_t from) {
    std::string out;
    for (size_t i = from; i < words.size(); i++) {
        if (i > from) out += ' ';
        out += words[i];
    }
    return out;
}

// A type as a GUID (GPT), a hex byte such as 83 or 0x83 (MBR), or a name from
// the catalogue of the table's kind, in any case.
bool resolve_type(kv::TableKind kind, const std::string& text, uint8_t* byte, uint8_t guid[16]) {
    *byte = 0;
    std::memset(guid, 0, 16);
    bool gpt = kind == kv::TableKind::Gpt;
    if (gpt && kv::guid_from_text(text.c_str(), guid)) return true;
    if (!gpt) {
        std::string digits =
            text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
        bool hex = !digits.empty() && digits.size() <= 2;
        for (char c : digits)
            hex = hex && std::strchr("0123456789abcdefABCDEF", c) != nullptr;
        if (hex) {
            *byte = static_cast<uint8_t>(std::strtoul(digits.c_str(), nullptr, 16));
            return true;
        }
    }
    const char* name = nullptr;
    for (int i = 0; kv::type_choice(kind, i, &name, byte, guid); i++)
        if (strcasecmp(name, text.c_str()) == 0) return true;
    *byte = 0;
    std::memset(guid, 0, 16);
    return false;
}

// A position or length in blocks from a size text; `rest` only where the
// caller allows it.
std::string parse_blocks(const std::string& text, uint32_t block_size, bool allow_rest,
                         uint64_t* blocks, bool* rest) {
    uint64_t bytes = 0;
    const char* error = kv::parse_size(text.c_str(), block_size, &bytes, rest);
    if (error != nullptr) return error;
    if (*rest && !allow_rest) return "a start cannot be 'rest'";
    if (bytes % block_size != 0) return text + " is not a whole number of blocks";
    *blocks = bytes / block_size;
    return "";
}

// Blocks from `start` to the end of the free gap that holds it: inside the
// extended partition for a logical partition when there is one, else among
// the primary partitions. 0 when `start` is not free.
uint64_t room_from(const kv::PartitionTable& table, uint64_t start, bool logical) {
    const kv::Partition* extended = nullptr;
    for (int32_t i = 0; i < table.partition_count && logical; i++)
        if (table.partitions[i].kind == kv::PartitionKind::Extended) {
            extended = &table.partitions[i];
            break;
        }
    std::vector<kv::BlockRange> gaps(static_cast<size_t>(kv::free_range_capacity(&table)));
    int found = extended != nullptr ? kv::extended_free_ranges(&table, extended, gaps.data())
                                    : kv::primary_free_ranges(&table, gaps.data());
    for (int i = 0; i < found; i++)
        if (gaps[i].first <= start && start <= gaps[i].last) return gaps[i].last - start + 1;
    return 0;
}

class Editor {
  public:
    Editor(sim::FileDisk* disk, kv::PartitionTable* table) : disk_(disk), table_(table) {}

    bool written() const { return written_; }

    // Runs one operation; the error text, or empty when it was done.
    std::string run(const Operation& op) {
        const std::vector<std::string>& w = op.words;
        const std::string& verb = w[0];
        int32_t number = w.size() > 1 && is_number(w[1]) ? std::atoi(w[1].c_str()) : 0;
        if (verb == "new") {
            kv::TableKind kind = w[1] == "mbr"   ? kv::TableKind::Mbr
                                 : w[1] == "gpt" ? kv::TableKind::Gpt
                                                 : kv::TableKind::None;
            kv::new_table(table_, disk_->device(), kind);
            return "";
        }
        if (verb == "add") return add(w);
        if (verb == "delete") return text(kv::delete_partition(table_, number));
        if (verb == "type") {
            uint8_t byte = 0;
            uint8_t guid[16] = {};
            if (kv::find_partition(table_, number) != nullptr &&
                !resolve_type(table_->kind, w[2], &byte, guid))
                return "unknown partition type '" + w[2] + "'";
            return text(kv::set_type(table_, number, byte, guid));
        }
        if (verb == "name") return text(kv::set_name(table_, number, join(w, 2).c_str()));
        if (verb == "active") {
            bool flag = w.size() < 3 || w[2] == "on";
            return text(kv::set_active(table_, number, flag));
        }
        // The Write of a table read with damage that writing mends; a script
        // learns from the refusal that there was nothing to mend.
        if (verb == "repair" && !table_->needs_repair && !table_->dirty)
            return "the table needs no repair";
        return write(verb == "repair");
    }

  private:
    static std::string text(const char* result) { return result == nullptr ? "" : result; }

    std::string add(const std::vector<std::string>& w) {
        size_t at = 1;
        bool logical = false;
        bool kind_given = false;
        if (w[1] == "primary" || w[1] == "logical") {
            logical = w[1] == "logical";
            kind_given = true;
            at = 2;
        }
        bool has_table = table_->kind != kv::TableKind::None;
        bool gpt = table_->kind == kv::TableKind::Gpt;
        if (gpt && kind_given && logical) return "only MBR tables have logical partitions";
        std::string name = join(w, at + 3);
        if (has_table && !gpt && !name.empty()) return "only GPT partitions have a name";

        kv::Partition model{};
        model.kind = logical ? kv::PartitionKind::Logical : kv::PartitionKind::Primary;
        uint32_t block_size = disk_->block_size();
        bool rest = false;
        std::string error = parse_blocks(w[at], block_size, false, &model.start, &rest);
        if (error.empty()) error = parse_blocks(w[at + 1], block_size, true, &model.size, &rest);
        if (!error.empty()) return error;
        if (rest && has_table) {
            model.size = room_from(*table_, model.start, logical);
            if (model.size == 0)
                return "there is no free space at block " + std::to_string(model.start);
        }
        if (has_table && !resolve_type(table_->kind, w[at + 2], &model.mbr_type, model.type_guid))
            return "unknown partition type '" + w[at + 2] + "'";
        // Cut at a character boundary to the record's buffer; the operation
        // judges the length in characters.
        size_t length = 0;
        while (length < name.size()) {
            size_t step = 1;
            while (length + step < name.size() && (name[length + step] & 0xC0) == 0x80)
                step++;
            if (length + step > sizeof model.name - 1) break;
            length += step;
        }
        std::memcpy(model.name, name.data(), length);
        if (length < name.size()) return "the name is too long (at most 36 characters)";
        return text(kv::add_partition(table_, disk_->device(), &model));
    }

    std::string write(bool repair) {
        // An unchanged table is not written, so that a disk whose blocks 0
        // and 1 are not a table (a whole-disk file system) keeps them; only
        // `repair` writes back a table read with damage.
        if (!table_->dirty && !(repair && table_->needs_repair)) {
            std::printf("No changes to write.\n");
            return "";
        }
        kv::WriteRefusal refusal;
        kv::ErrorCode rc = kv::write_table(disk_->device(), table_, &refusal);
        if (rc != kv::ERR_OK && refusal.blocks_written > 0) {
            written_ = true;
            return "the write stopped after " + std::to_string(refusal.blocks_written) + " of " +
                   std::to_string(refusal.blocks_total) + " blocks: " + kv::error_text(rc);
        }
        if (rc != kv::ERR_OK) return refusal.text[0] != '\0' ? refusal.text : kv::error_text(rc);
        written_ = true;
        // As the program does after a write: what counts is what the disk
        // holds now.
        kv::clear_partitions(table_);
        rc = kv::read_table(disk_->device(), table_);
        if (rc != kv::ERR_OK)
            return std::string("cannot read the table back: ") + kv::error_text(rc);
        return "";
    }

    sim::FileDisk* disk_;
    kv::PartitionTable* table_;
    bool written_ = false;
};

} // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    const char* script = nullptr;
    uint32_t block_size = kDefaultBlockSize;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") return help();
        if (arg == "--block-size" || arg.rfind("--block-size=", 0) == 0) {
            const char* value = nullptr;
            if (arg == "--block-size") {
                if (i + 1 >= argc) return usage("--block-size needs a value");
                value = argv[++i];
            } else {
                value = argv[i] + std::strlen("--block-size=");
            }
            if (!kvtool::parse_block_size(value, &block_size))
                return fail(std::string("block size must be a power of two of at least 512: ") +
                            value);
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            return usage("unknown option " + arg);
        } else if (path == nullptr) {
            path = argv[i];
        } else if (script == nullptr) {
            script = argv[i];
        } else {
            return usage();
        }
    }
    if (path == nullptr || script == nullptr) return usage();

    std::vector<Operation> ops;
    std::string error;
    if (!split_script(script, &ops, &error)) return fail(error);
    for (const Operation& op : ops) {
        std::string problem = check_syntax(op);
        if (!problem.empty()) return fail(op.text + ": " + problem);
    }

    sim::reset();
    kv::PartitionTable table{};
    auto disk = kvtool::open_image_table(path, block_size, &table, &error);
    if (!disk) return fail(error);

    Editor editor(disk.get(), &table);
    for (const Operation& op : ops) {
        std::string problem = editor.run(op);
        if (!problem.empty()) {
            kv::table_free(&table);
            return fail(op.text + ": " + problem);
        }
    }
    std::printf("%s: %s\n", path, editor.written() ? "written" : "not written");
    kvtool::print_summary(stdout, table);
    kv::table_free(&table);
    return 0;
}
