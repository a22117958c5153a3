// The firmware console: one handle carrying ConIn, ConInEx and ConOut.
//
// Output goes to a grid of character cells with attributes, moved and
// scrolled the way a firmware text console does it, and to a raw log of
// every string the program sent. Input comes from a script of keys, each due
// at a time on the virtual clock (see firmware.h for the rules tests rely on).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/keyboard.h"
#include "sim/firmware.h"
#include "sim/internal.h"
#include "sim/serial.h"

namespace sim {
namespace {

constexpr int32_t kDefaultAttribute = 0x07; // light grey on black
constexpr TextMode kDefaultMode = {80, 25};
constexpr uint64_t kDefaultScriptLimit = 60ull * 10000000; // 60 s
// Together with the time limit: a program that merely polls now and then
// (the wipe between chunks) is not taken for one stuck waiting.
constexpr size_t kExhaustedReads = 1000;

struct Cell {
    char16_t ch;
    uint8_t attribute;
};

struct ScriptedKey {
    uint64_t due;
    EFI_KEY_DATA data;
    bool from_terminal;
};

struct KeyNotify {
    EFI_KEY_DATA key;
    EFI_KEY_NOTIFY_FUNCTION function;
};

struct ConsoleState {
    SIMPLE_TEXT_OUTPUT_MODE mode{};
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL out{};
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL in{};
    EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL in_ex{};
    bool in_ex_installed = false;
    EFI_HANDLE handle = nullptr;

    // The serial terminal's own input, one of the splitter's: it reads
    // nothing itself here, but reports the keys it produced to those who
    // asked.
    EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL terminal_ex{};
    EFI_HANDLE terminal_handle = nullptr;
    PathBytes terminal_path;
    std::vector<std::unique_ptr<KeyNotify>> notifies;

    std::u16string output;
    std::vector<TextMode> modes;
    bool query_fails = false;
    uint32_t columns = 0;
    uint32_t rows = 0;
    std::vector<Cell> cells; // row after row
    size_t clears = 0;

    std::deque<ScriptedKey> keys; // in due order
    uint64_t script_limit = kDefaultScriptLimit;
    uint64_t dry_since = 0; // when the last key was read
    size_t failed_reads = 0;
    bool exhausted = false;
    std::function<void()> read_hook;
};

ConsoleState g_con;

bool mode_supported(UINTN mode) {
    return mode < g_con.modes.size() && g_con.modes[mode].columns && g_con.modes[mode].rows;
}

uint8_t current_attribute() {
    return uint8_t(g_con.mode.Attribute);
}

Cell& cell_at(uint32_t column, uint32_t row) {
    return g_con.cells[size_t(row) * g_con.columns + column];
}

void blank_rows(uint32_t first, uint32_t count) {
    Cell blank{u' ', current_attribute()};
    auto begin = g_con.cells.begin() + ptrdiff_t(size_t(first) * g_con.columns);
    std::fill(begin, begin + ptrdiff_t(size_t(count) * g_con.columns), blank);
}

void clear_grid() {
    g_con.clears++;
    blank_rows(0, g_con.rows);
    g_con.mode.CursorColumn = 0;
    g_con.mode.CursorRow = 0;
}

void switch_mode(UINTN mode) {
    const TextMode& m = mode_supported(mode) ? g_con.modes[mode] : kDefaultMode;
    g_con.mode.Mode = int32_t(mode);
    g_con.columns = m.columns;
    g_con.rows = m.rows;
    g_con.cells.assign(size_t(m.columns) * m.rows, Cell{u' ', current_attribute()});
    clear_grid();
}

void line_feed() {
    SIMPLE_TEXT_OUTPUT_MODE& m = g_con.mode;
    if (uint32_t(m.CursorRow) + 1 < g_con.rows) {
        m.CursorRow++;
        return;
    }
    std::move(g_con.cells.begin() + g_con.columns, g_con.cells.end(), g_con.cells.begin());
    blank_rows(g_con.rows - 1, 1);
}

void put_char(char16_t c) {
    SIMPLE_TEXT_OUTPUT_MODE& m = g_con.mode;
    switch (c) {
    case u'\r':
        m.CursorColumn = 0;
        return;
    case u'\n':
        line_feed();
        return;
    case u'\b':
        if (m.CursorColumn > 0) {
            m.CursorColumn--;
        } else if (m.CursorRow > 0) {
            m.CursorRow--;
            m.CursorColumn = int32_t(g_con.columns) - 1;
        }
        return;
    default:
        cell_at(uint32_t(m.CursorColumn), uint32_t(m.CursorRow)) = Cell{c, current_attribute()};
        if (uint32_t(++m.CursorColumn) >= g_con.columns) {
            m.CursorColumn = 0;
            line_feed();
        }
    }
}

EFI_STATUS EFIAPI out_reset(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, BOOLEAN) {
    g_con.mode.Attribute = kDefaultAttribute;
    switch_mode(0);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI output_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, CHAR16* s) {
    if (!s) return EFI_INVALID_PARAMETER;
    for (; *s; s++) {
        g_con.output += *s;
        put_char(*s);
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI test_string(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, CHAR16* s) {
    return s ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI query_mode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN mode, UINTN* columns,
                             UINTN* rows) {
    if (!columns || !rows) return EFI_INVALID_PARAMETER;
    if (g_con.query_fails) return EFI_DEVICE_ERROR;
    if (!mode_supported(mode)) return EFI_UNSUPPORTED;
    *columns = g_con.modes[mode].columns;
    *rows = g_con.modes[mode].rows;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_mode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN mode) {
    if (!mode_supported(mode)) return EFI_UNSUPPORTED;
    switch_mode(mode);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_attribute(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN attribute) {
    if ((attribute | 0x7F) != 0x7F) return EFI_UNSUPPORTED;
    g_con.mode.Attribute = int32_t(attribute);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI clear_screen(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*) {
    clear_grid();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_cursor_position(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN column, UINTN row) {
    if (column >= g_con.columns || row >= g_con.rows) return EFI_UNSUPPORTED;
    g_con.mode.CursorColumn = int32_t(column);
    g_con.mode.CursorRow = int32_t(row);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI enable_cursor(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, BOOLEAN visible) {
    g_con.mode.CursorVisible = visible ? TRUE : FALSE;
    return EFI_SUCCESS;
}

bool key_due() {
    return !g_con.keys.empty() && g_con.keys.front().due <= now_100ns();
}

// Each key event is a wait-type event and a timer at once: the notify
// function answers for keys already due, the timer stands at the next key's
// due time so that a wait on the event moves the clock there.
void arm_key_events() {
    EFI_BOOT_SERVICES* bs = system_table()->BootServices;
    uint64_t now = now_100ns();
    for (EFI_EVENT ev : {g_con.in.WaitForKey, g_con.in_ex.WaitForKeyEx}) {
        if (key_due()) {
            bs->SetTimer(ev, TimerCancel, 0);
            signal_event(ev);
            continue;
        }
        // Both timers fire for a key but only one wait reads it: checking
        // drops the other's signal, so that no event stays signalled
        // without a key to read.
        bs->CheckEvent(ev);
        if (g_con.keys.empty()) {
            bs->SetTimer(ev, TimerCancel, 0);
        } else {
            bs->SetTimer(ev, TimerRelative, g_con.keys.front().due - now);
        }
    }
}

// Registered data with a shift state of 0 matches whatever the modifiers.
bool notify_matches(const EFI_KEY_DATA& want, const EFI_KEY_DATA& got) {
    if (want.Key.ScanCode != got.Key.ScanCode || want.Key.UnicodeChar != got.Key.UnicodeChar)
        return false;
    uint32_t shift = want.KeyState.KeyShiftState;
    return shift == 0 || shift == got.KeyState.KeyShiftState;
}

// The terminal driver reports a key it decoded before the splitter can hand
// it out; the first taker of the key stands in for that moment.
void notify_terminal_key(const ScriptedKey& key) {
    if (!key.from_terminal) return;
    EFI_KEY_DATA data = key.data;
    for (size_t i = 0; i < g_con.notifies.size(); i++)
        if (notify_matches(g_con.notifies[i]->key, data)) g_con.notifies[i]->function(&data);
}

ScriptedKey take_key() {
    ScriptedKey key = g_con.keys.front();
    g_con.keys.pop_front();
    notify_terminal_key(key);
    g_con.failed_reads = 0;
    if (g_con.keys.empty()) g_con.dry_since = now_100ns();
    arm_key_events();
    return key;
}

// A failed read. Once the script has run dry for long enough, the program
// is taken to be waiting for a key that will never come, and the run ends.
EFI_STATUS no_key() {
    if (!g_con.keys.empty()) return EFI_NOT_READY;
    g_con.failed_reads++;
    uint64_t dry_for = now_100ns() - g_con.dry_since;
    if (g_con.failed_reads < kExhaustedReads || dry_for < g_con.script_limit) return EFI_NOT_READY;
    g_con.exhausted = true;
    system_table()->BootServices->Exit(image_handle(), EFI_ABORTED, 0, nullptr);
    std::fprintf(stderr, "sim: the program keeps waiting for keys after the key script ran out, "
                         "outside run_image: nothing to end\n");
    std::abort();
}

EFI_STATUS EFIAPI in_reset(EFI_SIMPLE_TEXT_INPUT_PROTOCOL*, BOOLEAN) {
    g_con.keys.clear();
    g_con.dry_since = now_100ns();
    arm_key_events();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI read_key_stroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL*, EFI_INPUT_KEY* key) {
    if (!key) return EFI_INVALID_PARAMETER;
    if (!key_due() && g_con.read_hook) g_con.read_hook();
    // The plain protocol has no way to report a modifier pressed alone.
    while (key_due()) {
        ScriptedKey k = take_key();
        if (k.data.Key.UnicodeChar == 0 && k.data.Key.ScanCode == 0) continue;
        *key = k.data.Key;
        return EFI_SUCCESS;
    }
    return no_key();
}

VOID EFIAPI wait_for_key_notify(EFI_EVENT event, VOID*) {
    if (key_due()) signal_event(event);
}

EFI_STATUS EFIAPI in_ex_reset(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, BOOLEAN verify) {
    return in_reset(&g_con.in, verify);
}

EFI_STATUS EFIAPI read_key_stroke_ex(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, EFI_KEY_DATA* data) {
    if (!data) return EFI_INVALID_PARAMETER;
    if (!key_due() && g_con.read_hook) g_con.read_hook();
    if (!key_due()) return no_key();
    *data = take_key().data;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_state(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, EFI_KEY_TOGGLE_STATE* state) {
    return state ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI register_key_notify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, EFI_KEY_DATA*,
                                      EFI_KEY_NOTIFY_FUNCTION, VOID**) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unregister_key_notify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, VOID*) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI terminal_read_key_ex(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, EFI_KEY_DATA* data) {
    return data ? EFI_NOT_READY : EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI terminal_register_notify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, EFI_KEY_DATA* data,
                                           EFI_KEY_NOTIFY_FUNCTION function, VOID** handle) {
    if (!data || !function || !handle) return EFI_INVALID_PARAMETER;
    for (const auto& n : g_con.notifies) {
        if (n->function == function && notify_matches(n->key, *data)) {
            *handle = n.get();
            return EFI_SUCCESS;
        }
    }
    g_con.notifies.push_back(std::make_unique<KeyNotify>(KeyNotify{*data, function}));
    *handle = g_con.notifies.back().get();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI terminal_unregister_notify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*, VOID* handle) {
    auto& list = g_con.notifies;
    auto it =
        std::find_if(list.begin(), list.end(), [&](const auto& n) { return n.get() == handle; });
    if (it == list.end()) return EFI_INVALID_PARAMETER;
    list.erase(it);
    return EFI_SUCCESS;
}

const EFI_GUID kInGuid = EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID;
const EFI_GUID kInExGuid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
const EFI_GUID kOutGuid = EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID;

} // namespace

namespace detail {

void console_reset(EFI_SYSTEM_TABLE& st) {
    g_con = ConsoleState{};
    g_con.modes = {kDefaultMode};
    g_con.mode.MaxMode = 1;
    g_con.mode.Attribute = kDefaultAttribute;
    switch_mode(0);
    g_con.clears = 0;

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

    constexpr uint32_t key_event_type = EVT_TIMER | EVT_NOTIFY_WAIT;
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL& in = g_con.in;
    in.Reset = in_reset;
    in.ReadKeyStroke = read_key_stroke;
    st.BootServices->CreateEvent(key_event_type, TPL_NOTIFY, wait_for_key_notify, nullptr,
                                 &in.WaitForKey);

    EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL& in_ex = g_con.in_ex;
    in_ex.Reset = in_ex_reset;
    in_ex.ReadKeyStrokeEx = read_key_stroke_ex;
    in_ex.SetState = set_state;
    in_ex.RegisterKeyNotify = register_key_notify;
    in_ex.UnregisterKeyNotify = unregister_key_notify;
    st.BootServices->CreateEvent(key_event_type, TPL_NOTIFY, wait_for_key_notify, nullptr,
                                 &in_ex.WaitForKeyEx);

    install_protocol(&g_con.handle, kInGuid, &in);
    install_protocol(&g_con.handle, kInExGuid, &in_ex);
    install_protocol(&g_con.handle, kOutGuid, &out);
    g_con.in_ex_installed = true;

    EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL& terminal = g_con.terminal_ex;
    terminal.Reset = in_ex_reset;
    terminal.ReadKeyStrokeEx = terminal_read_key_ex;
    terminal.SetState = set_state;
    terminal.RegisterKeyNotify = terminal_register_notify;
    terminal.UnregisterKeyNotify = terminal_unregister_notify;
    g_con.terminal_path = serial_console_path();
    const EFI_GUID path_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    install_protocol(&g_con.terminal_handle, kInExGuid, &terminal);
    install_protocol(&g_con.terminal_handle, path_guid, g_con.terminal_path.data());
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

void set_text_modes(const std::vector<TextMode>& modes) {
    g_con.modes = modes;
    g_con.mode.MaxMode = int32_t(modes.size());
    UINTN first = 0;
    while (first < modes.size() && !mode_supported(first))
        first++;
    switch_mode(first < modes.size() ? first : 0);
}

void fail_query_mode(bool fail) {
    g_con.query_fails = fail;
}

size_t screen_columns() {
    return g_con.columns;
}
size_t screen_rows() {
    return g_con.rows;
}

std::string screen_text(size_t row) {
    if (row >= g_con.rows) return std::string();
    std::u16string text;
    for (uint32_t column = 0; column < g_con.columns; column++)
        text += cell_at(column, uint32_t(row)).ch;
    text.erase(text.find_last_not_of(u' ') + 1);
    return utf16_to_utf8(text);
}

uint8_t screen_attribute(size_t column, size_t row) {
    if (column >= g_con.columns || row >= g_con.rows) return 0;
    return cell_at(uint32_t(column), uint32_t(row)).attribute;
}

char16_t screen_char(size_t column, size_t row) {
    if (column >= g_con.columns || row >= g_con.rows) return 0;
    return cell_at(uint32_t(column), uint32_t(row)).ch;
}

void push_key(uint16_t scan_code, char16_t unicode_char, uint32_t shift_state) {
    push_key_at(now_100ns(), scan_code, unicode_char, shift_state);
}

namespace {

void push_scripted(uint64_t at_100ns, uint16_t scan_code, char16_t unicode_char,
                   uint32_t shift_state, bool from_terminal) {
    ScriptedKey key{};
    key.from_terminal = from_terminal;
    key.due = at_100ns;
    key.data.Key.ScanCode = scan_code;
    key.data.Key.UnicodeChar = unicode_char;
    key.data.KeyState.KeyShiftState = shift_state;
    auto later = std::upper_bound(g_con.keys.begin(), g_con.keys.end(), at_100ns,
                                  [](uint64_t due, const ScriptedKey& k) { return due < k.due; });
    g_con.keys.insert(later, key);
    arm_key_events();
}

} // namespace

void push_key_at(uint64_t at_100ns, uint16_t scan_code, char16_t unicode_char,
                 uint32_t shift_state) {
    push_scripted(at_100ns, scan_code, unicode_char, shift_state, false);
}

namespace {

// PC-ANSI CSI letters that the firmware's terminal driver decodes itself.
uint16_t pc_ansi_scan(char c) {
    switch (c) {
    case 'A':
        return kv::SCAN_UP;
    case 'B':
        return kv::SCAN_DOWN;
    case 'C':
        return kv::SCAN_RIGHT;
    case 'D':
        return kv::SCAN_LEFT;
    case 'H':
        return kv::SCAN_HOME;
    case 'F':
        return kv::SCAN_END;
    case 'I':
        return kv::SCAN_PAGE_UP;
    case 'G':
        return kv::SCAN_PAGE_DOWN;
    case 'X':
        return kv::SCAN_DELETE;
    case '@':
        return 0x07;
    default:
        break;
    }
    if (c >= 'M' && c <= 'V') return uint16_t(0x0B + (c - 'M')); // F1-F10
    return 0;
}

} // namespace

void push_terminal_bytes(uint64_t at_100ns, const std::string& bytes, uint64_t gap_100ns) {
    // Through the splitter every key carries a valid shift state.
    auto terminal_key = [](uint64_t at, uint16_t scan, char16_t ch) {
        push_scripted(at, scan, ch, EFI_SHIFT_STATE_VALID, true);
    };
    enum { Plain, Esc, Bracket } state = Plain;
    uint64_t t = at_100ns;
    for (size_t i = 0; i < bytes.size(); i++, t += gap_100ns) {
        char c = bytes[i];
        if (state == Bracket) {
            uint16_t scan = pc_ansi_scan(c);
            state = Plain;
            if (scan) {
                terminal_key(t, scan, 0);
                continue;
            }
            terminal_key(t, kv::SCAN_ESC, 0);
            terminal_key(t, 0, u'[');
        } else if (state == Esc) {
            state = Plain;
            if (c == '[') {
                state = Bracket;
                continue;
            }
            terminal_key(t, kv::SCAN_ESC, 0);
        }
        if (c == 0x1B) {
            state = Esc;
        } else if (c == 0x7F) {
            terminal_key(t, kv::SCAN_DELETE, 0);
        } else {
            terminal_key(t, 0, char16_t(static_cast<unsigned char>(c)));
        }
    }
    // The driver's escape timer hands out what is left.
    if (state != Plain) terminal_key(t, kv::SCAN_ESC, 0);
    if (state == Bracket) terminal_key(t, 0, u'[');
}

size_t keys_left() {
    return g_con.keys.size();
}

size_t terminal_key_notifies() {
    return g_con.notifies.size();
}

void set_input_ex(bool present) {
    if (present == g_con.in_ex_installed) return;
    if (present) {
        install_protocol(&g_con.handle, kInExGuid, &g_con.in_ex);
    } else {
        uninstall_protocol(g_con.handle, kInExGuid);
    }
    g_con.in_ex_installed = present;
}

void set_key_script_limit(uint64_t idle_100ns) {
    g_con.script_limit = idle_100ns;
}

bool key_script_exhausted() {
    return g_con.exhausted;
}

void set_key_read_hook(std::function<void()> hook) {
    g_con.read_hook = std::move(hook);
}

} // namespace sim
