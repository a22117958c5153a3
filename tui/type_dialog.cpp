// The Type dialog: a catalogue entry from the list, or a type typed in as a
// GUID (GPT) or a hexadecimal byte (MBR).
#include "disk/guid.h"
#include "disk/types.h"
#include "tui/command_dialogs.h"
#include "tui/dialogs.h"
#include "tui/partition_screen.h"

namespace kv {

namespace {

const char kTitle[] = "Type";
constexpr int kMaxCatalogueEntries = 62;
constexpr size_t kAnswerSize = 64;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The digits are checked here rather than left to strtoul, which wraps
// silently: a long answer such as "10000000000000001" must not come out as
// 01. Leading zeros are skipped so that "00EF" still means EF.
bool parse_type_byte(const char* text, uint8_t* out) {
    if (*text == '\0') return false;
    for (const char* p = text; *p != '\0'; p++)
        if (hex_value(*p) < 0) return false;
    while (*text == '0')
        text++;
    unsigned value = 0;
    int digits = 0;
    for (; *text != '\0'; text++) {
        if (++digits > 2) return false;
        value = value * 16 + (unsigned)hex_value(*text);
    }
    if (value < 1 || value > 255) return false;
    *out = (uint8_t)value;
    return true;
}

// The Other entry. Only the field of the table's kind changes.
bool ask_other(DiskView* view, uint8_t* type_byte, uint8_t type_guid[16]) {
    char answer[kAnswerSize] = "";
    redraw_behind(view);
    if (view->table.kind == TableKind::Gpt) {
        if (!input_box(false, kTitle, "Type GUID:", answer, sizeof answer)) return false;
        if (!guid_from_text(answer, type_guid)) {
            redraw_behind(view);
            message_box(true, kTitle, "Not a GUID.");
            return false;
        }
        return true;
    }
    if (!input_box(false, kTitle, "Type byte (hex):", answer, sizeof answer)) return false;
    if (!parse_type_byte(answer, type_byte)) {
        redraw_behind(view);
        message_box(true, kTitle, "A byte from 01 to FF.");
        return false;
    }
    return true;
}

} // namespace

bool type_dialog(DiskView* view, uint8_t* type_byte, uint8_t type_guid[16], int initial) {
    redraw_behind(view);
    TableKind kind = view->table.kind;
    const char* items[kMaxCatalogueEntries + 1];
    int count = 0;
    while (count < kMaxCatalogueEntries &&
           type_choice(kind, count, &items[count], nullptr, nullptr))
        count++;
    items[count] = kind == TableKind::Gpt ? "Other (type GUID)..." : "Other (type byte)...";

    int chosen = choice_box(kTitle, items, count + 1, initial);
    if (chosen < 0) return false;
    if (chosen == count) return ask_other(view, type_byte, type_guid);
    return type_choice(kind, chosen, nullptr, type_byte, type_guid);
}

} // namespace kv
