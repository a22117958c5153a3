// The firmware console: one handle carrying ConIn and ConOut. Output is kept
// as the text the program sent; the mode record follows what the program
// asked for (attribute, cursor, mode) so tests can check it. Keys come from
// a queue that tests fill.
#include <deque>
#include <string>

#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

constexpr uint32_t kColumns = 80;
constexpr uint32_t kRows = 25;
constexpr int32_t kDefaultAttribute = 0x07; // light grey on black

struct ConsoleState {
    SIMPLE_TEXT_OUTPUT_MODE mode{};
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL out{};
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL in{};
    EFI_HANDLE handle = nullptr;
    std::u16string output;
    std::deque<EFI_INPUT_KEY> keys;
    size_t clears = 0;
};

ConsoleState g_con;

void clear_screen_state() {
    g_con.clears++;
    g_con.mode.CursorColumn = 0;
    g_con.mode.CursorRow = 0;
}

// Keeps the cursor fields of the mode record where a terminal would put it.
void advance_cursor(char16_t c) {
    SIMPLE_TEXT_OUTPUT_MODE& m = g_con.mode;
    if (c == u'\r') {
        m.CursorColumn = 0;
    } else if (c == u'\n') {
        if (m.CursorRow + 1 < int32_t(kRows)) m.CursorRow++;
    } else if (c == u'\b') {
        if (m.CursorColumn > 0) m.CursorColumn--;
    } else if (++m.CursorColumn >= int32_t(kColumns)) {
        m.CursorColumn = 0;
        if (m.CursorRow + 1 < int32_t(kRows)) m.CursorRow++;
    }
}

EFI_STATUS EFIAPI out_reset(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, BOOLEAN) {
    g_con.mode.Mode = 0;
    g_con.mode.Attribute = kDefaultAttribute;
    clear_screen_state();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI output_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, CHAR16* s) {
    if (!s) return EFI_INVALID_PARAMETER;
    for (; *s; s++) {
        g_con.output += *s;
        advance_cursor(*s);
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI test_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, CHAR16* s) {
    return s ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI query_mode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN mode, UINTN* columns,
                             UINTN* rows) {
    if (!columns || !rows) return EFI_INVALID_PARAMETER;
    if (mode >= UINTN(g_con.mode.MaxMode)) return EFI_UNSUPPORTED;
    *columns = kColumns;
    *rows = kRows;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_mode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN mode) {
    if (mode >= UINTN(g_con.mode.MaxMode)) return EFI_UNSUPPORTED;
    g_con.mode.Mode = int32_t(mode);
    clear_screen_state();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_attribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN attribute) {
    if ((attribute | 0x7F) != 0x7F) return EFI_UNSUPPORTED;
    g_con.mode.Attribute = int32_t(attribute);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI clear_screen(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*) {
    clear_screen_state();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_cursor_position(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN column, UINTN row) {
    if (column >= kColumns || row >= kRows) return EFI_UNSUPPORTED;
    g_con.mode.CursorColumn = int32_t(column);
    g_con.mode.CursorRow = int32_t(row);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI enable_cursor(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, BOOLEAN visible) {
    g_con.mode.CursorVisible = visible ? TRUE : FALSE;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI in_reset(EFI_SIMPLE_TEXT_INPUT_PROTOCOL*, BOOLEAN) {
    g_con.keys.clear();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI read_key_stroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL*, EFI_INPUT_KEY* key) {
    if (!key) return EFI_INVALID_PARAMETER;
    if (g_con.keys.empty()) return EFI_NOT_READY;
    *key = g_con.keys.front();
    g_con.keys.pop_front();
    return EFI_SUCCESS;
}

// WaitForKey is a wait-type event: firmware asks this function whether a
// key is there each time the program checks or waits on it.
VOID EFIAPI wait_for_key_notify(EFI_EVENT event, VOID*) {
    if (!g_con.keys.empty()) signal_event(event);
}

} // namespace

namespace detail {

void console_reset(EFI_SYSTEM_TABLE& st) {
    g_con = ConsoleState{};
    g_con.mode.MaxMode = 1;
    g_con.mode.Attribute = kDefaultAttribute;

    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL& out = g_con.out;
    out.Reset = out_reset;
    out.OutputString = output_string;
    out.TestString = test_string;
    out.QueryMode = query_mode;
    out.SetMode = set_mode;
    out.SetAttribute = set_attribute;
    out.ClearScreen = clear_screen;
    out.SetCursorPosition = set_cursor_position;
    out.EnableCursor = enable_cursor;
    out.Mode = &g_con.mode;

    EFI_SIMPLE_TEXT_INPUT_PROTOCOL& in = g_con.in;
    in.Reset = in_reset;
    in.ReadKeyStroke = read_key_stroke;
    st.BootServices->CreateEvent(EVT_NOTIFY_WAIT, TPL_NOTIFY, wait_for_key_notify, nullptr,
                                 &in.WaitForKey);

    static const EFI_GUID in_guid = EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID;
    static const EFI_GUID out_guid = EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID;
    install_protocol(&g_con.handle, in_guid, &in);
    install_protocol(&g_con.handle, out_guid, &out);
    st.ConsoleInHandle = g_con.handle;
    st.ConIn = &in;
    st.ConsoleOutHandle = g_con.handle;
    st.ConOut = &out;
    st.StandardErrorHandle = g_con.handle;
    st.StdErr = &out;
}

} // namespace detail

const std::u16string& console_output() {
    return g_con.output;
}
std::string console_output_utf8() {
    return utf16_to_utf8(g_con.output);
}
void clear_console_output() {
    g_con.output.clear();
}
uint64_t console_attribute() {
    return uint64_t(uint32_t(g_con.mode.Attribute));
}
void set_console_attribute(uint64_t attribute) {
    g_con.mode.Attribute = int32_t(attribute);
}
bool console_cursor_visible() {
    return g_con.mode.CursorVisible != FALSE;
}
size_t console_clear_count() {
    return g_con.clears;
}

void push_key(uint16_t scan_code, char16_t unicode_char) {
    g_con.keys.push_back(EFI_INPUT_KEY{scan_code, unicode_char});
    signal_event(g_con.in.WaitForKey);
}

} // namespace sim
