// The simulated firmware: a real EFI system table whose services run over
// host memory, so the program's firmware-facing code runs unchanged on the
// host. Tests configure it through this interface; product code only ever
// sees the tables.
//
// Adding a device: a test (or a sim/ module such as a disk or a pointer)
// fills a protocol record whose function pointers are EFIAPI host functions,
// keeps it alive until the next reset, and publishes it on a handle:
//
//     static EFI_BLOCK_IO_PROTOCOL blk = {...};
//     static const EFI_GUID block_io = EFI_BLOCK_IO_PROTOCOL_GUID;
//     EFI_HANDLE h = nullptr; // null: a new handle is created
//     sim::install_protocol(&h, block_io, &blk);
//     sim::install_protocol(&h, device_path_guid, path_bytes);
//
// The program then finds it through LocateHandleBuffer, HandleProtocol or
// OpenProtocol like any firmware driver's protocol. Devices that must appear
// only after ConnectController use set_connect_hook; input sources that
// deliver keys or pointer reports while the program waits use set_idle_hook
// and signal_event.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/efi.h"
#include "platform/efi_protocols.h"

namespace sim {

// Throws away all state and builds a fresh firmware: empty handle database
// apart from the image and console handles, virtual clock at 0, no faults,
// no hooks, watchdog armed at 300 s. Attaches the program to it
// (platform_bind) with a fresh image handle.
void reset();

EFI_SYSTEM_TABLE* system_table();
EFI_HANDLE image_handle();
// The image handle's loaded-image record; tests set LoadOptions and
// DeviceHandle on it before running the program.
EFI_LOADED_IMAGE_PROTOCOL* loaded_image();

// Handle database. A null *handle creates a new handle. Handles, and each
// protocol's handles, are listed in the order they were installed.
EFI_STATUS install_protocol(EFI_HANDLE* handle, const EFI_GUID& guid, void* iface);
EFI_STATUS uninstall_protocol(EFI_HANDLE handle, const EFI_GUID& guid);
// Marks a protocol on a handle as owned by a firmware driver: OpenProtocol
// BY_DRIVER then fails with EFI_ACCESS_DENIED.
void set_driver_owned(EFI_HANDLE handle, const EFI_GUID& guid, bool owned);
// Called by ConnectController for a known handle before it returns
// EFI_SUCCESS; a hook may install the protocols a driver would produce.
void set_connect_hook(std::function<void(EFI_HANDLE)> hook);
// How many opens (OpenProtocol records not yet closed) a protocol has on a
// handle, over all agents.
size_t open_count(EFI_HANDLE handle, const EFI_GUID& guid);

// Memory. Once `after` more pool (or page) allocations have succeeded, every
// further one fails with EFI_OUT_OF_RESOURCES until failures are switched
// off again with -1 (after = 0: the next one fails). Pool buffers that the
// firmware hands out itself (LocateHandleBuffer, ProtocolsPerHandle) count
// as pool allocations.
void fail_pool_after(long after);
void fail_pages_after(long after);
// Pool and pages together may not exceed this many bytes (default 1 GiB);
// a larger request fails with EFI_OUT_OF_RESOURCES.
void set_memory_limit(uint64_t bytes);
// Pool and pages held now, in bytes, as that limit counts them.
uint64_t memory_in_use();
size_t pool_blocks_live();
// Pages (not allocations) currently held through AllocatePages.
size_t pages_live();

// Virtual clock in 100 ns units; Stall and waits advance it and fire the
// timers that fall due on the way.
uint64_t now_100ns();
void advance_100ns(uint64_t t);
// Called by Stall with the microseconds asked for, before the clock moves
// on. A host runner sleeps for real there, so that the program's calibration
// of the time-stamp counter against a stall measures real time.
void set_stall_hook(std::function<void(uint64_t)> hook);
// Watchdog timeout in seconds as last set by the program (0 = off).
uint64_t watchdog_timeout();
// True when the virtual clock has passed an armed watchdog's deadline: real
// firmware would have reset the machine.
bool watchdog_expired();

// Events.
EFI_TPL current_tpl();
// Called by RaiseTPL once the new priority is in force. A test moves the
// clock there to let a device's interrupt fall inside the program's
// critical section, where its notification must wait.
void set_raise_tpl_hook(std::function<void(EFI_TPL)> hook);
// Events created and not yet closed, the firmware's own (WaitForKey) included.
size_t live_events();
// Signals an event as a device would (notify functions run as the current
// task priority allows).
void signal_event(EFI_EVENT event);
// Called whenever WaitForEvent finds none of its events signalled, before it
// moves the clock on to a timer. Returns true when it produced something
// (signalled an event, queued input). When no timer can end the wait and the
// hook produces nothing, WaitForEvent fails with EFI_DEVICE_ERROR instead of
// hanging.
void set_idle_hook(std::function<bool()> hook);

// Runs fn as the loaded image: a call to Exit unwinds straight back here.
// Exit skips the destructors of every frame between, so fn and whatever it
// calls before Exit must not own host objects that need them.
struct RunResult {
    bool exited;       // true when Exit ended the run
    EFI_STATUS status; // Exit's status, or fn's return value
};
RunResult run_image(EFI_STATUS (*fn)(void*), void* ctx);
// Runs the program's entry point efi_main as the firmware would.
RunResult run_efi_main();

// Everything written to ConOut since the last reset, as UTF-16.
const std::u16string& console_output();
// The same converted to UTF-8, unchanged otherwise (CR LF stays).
std::string console_output_utf8();
void clear_console_output();
uint64_t console_attribute();
void set_console_attribute(uint64_t attribute);
bool console_cursor_visible();
size_t console_clear_count();

// ---- Console screen, text modes and the key script ----
//
// Screen. What OutputString writes also lands in a grid of cells, each a
// UTF-16 unit with an attribute, the size of the current mode. Printable
// units go to the cursor in the current attribute and move it right; past
// the last column the cursor wraps to the next row. CR goes to column 0; LF
// one row down; BS one column left without erasing, from column 0 to the
// last column of the row above. A line feed or wrap on the last row scrolls
// the grid up one row and blanks the new bottom row in the current
// attribute. ClearScreen blanks the grid in the current attribute and homes
// the cursor; SetCursorPosition outside the grid fails with EFI_UNSUPPORTED.

// A text mode as QueryMode reports it. {0, 0} stands for a mode number that
// the console lists but cannot show: QueryMode and SetMode fail on it with
// EFI_UNSUPPORTED (OVMF with a VGA display lists 80 x 50 as mode 1 so).
struct TextMode {
    uint32_t columns;
    uint32_t rows;
};
// Replaces the console's modes (default: mode 0, 80 x 25, alone); MaxMode
// becomes their count. The console switches to the lowest mode it can show,
// cleared.
void set_text_modes(const std::vector<TextMode>& modes);
// While set, QueryMode fails with EFI_DEVICE_ERROR for every mode.
void fail_query_mode(bool fail);
size_t screen_columns();
size_t screen_rows();
// A row as UTF-8 with its trailing blanks removed; empty outside the grid.
std::string screen_text(size_t row);
// 0 outside the grid.
uint8_t screen_attribute(size_t column, size_t row);
// The cell's UTF-16 unit exactly as written (controls included); 0 outside
// the grid.
char16_t screen_char(size_t column, size_t row);

// Key script. Every key is due at a time on the virtual clock and can be
// read once the clock has reached it; keys are read in due order, keys due
// at the same time in push order. ReadKeyStroke and ReadKeyStrokeEx answer
// EFI_NOT_READY while no key is due, and share the one queue.
// - ReadKeyStrokeEx reports a key exactly as pushed, shift state included
//   (0: none reported; OVMF reports Left Ctrl as 0x80000008, valid + left
//   Ctrl). Firmware differs in whether Ctrl+C comes as 'c' or as 3: push
//   whichever the test is about.
// - ReadKeyStroke reports character and scan code as pushed, without the
//   shift state, and skips keys with neither (a modifier pressed alone).
// - WaitForKey and WaitForKeyEx are signalled while a key is due. Each is
//   also a timer standing at the next key's due time, so WaitForEvent on
//   either moves the clock to the next key as it would to a timer, and Stall
//   or any clock movement past that time makes the key due on the way.
void push_key(uint16_t scan_code, char16_t unicode_char, uint32_t shift_state = 0);
void push_key_at(uint64_t at_100ns, uint16_t scan_code, char16_t unicode_char,
                 uint32_t shift_state = 0);
// The serial console: bytes typed on a terminal, the first due at at_100ns
// and each next one gap_100ns later, turned into keys as the firmware's
// PC-ANSI terminal driver does. It decodes ESC [ A-D, H, F, I, G, X, @ and
// M-V itself; any other sequence arrives as Esc (scan code) followed by its
// characters, DEL as Delete, every key with a valid shift state and nothing
// pressed (as OVMF's console splitter reports them). A trailing Esc is
// handed out at the last byte's time.
// The terminal has an input handle of its own: SimpleTextInputEx on
// serial_console_path(), whose RegisterKeyNotify calls the function for each
// matching key from these bytes when the program first reads it (a shift
// state of 0 registered matches any); ReadKeyStrokeEx there reads nothing.
void push_terminal_bytes(uint64_t at_100ns, const std::string& bytes, uint64_t gap_100ns = 0);
// Keys pushed and not yet read, due or not.
size_t keys_left();
// Notifications registered on the terminal's input and not withdrawn.
size_t terminal_key_notifies();
// Installs (the default) or removes EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL on the
// console-in handle. The program looks it up at start-up only.
void set_input_ex(bool present);
// Exhausted script. Waiting for a key without limit, the program blocks in
// WaitForEvent on the key event alone; with no key left that wait fails
// (EFI_DEVICE_ERROR, see set_idle_hook), and the program falls back to
// stalling 1 ms and polling, for ever. So once no key is left, a failed key
// read ends the run when the script has been dry for at least `idle` of
// virtual time (default 60 s; counted from the last key read, or reset) and
// at least 1000 reads have failed since: Exit(image, EFI_ABORTED) unwinds to
// run_image and key_script_exhausted() turns true. A program that only polls
// now and then, without waiting, never reaches the read count. Like any
// Exit, the ending skips the frames in between (a timer of the wait stays
// open). Outside run_image there is nothing to unwind to: the process
// aborts with a message rather than hang, so tests that let the program
// wait for keys without limit run it under run_image. UINT64_MAX switches
// the ending off.
void set_key_script_limit(uint64_t idle_100ns);
bool key_script_exhausted();
// Called by ReadKeyStroke and ReadKeyStrokeEx when no key is due, before
// they answer; a key the hook pushes for the current time is read by that
// same call. With the idle hook, which sees only reads that wait, a host
// runner can tell a program waiting for a key from one that merely polls
// (the wipe checking for Esc between chunks) and feed each differently.
void set_key_read_hook(std::function<void()> hook);

// Runtime services.
void set_time(const EFI_TIME& time, bool fail);
void set_variable(const std::u16string& name, const EFI_GUID& guid,
                  const std::vector<uint8_t>& bytes);
void erase_variable(const std::u16string& name, const EFI_GUID& guid);

// Standard CRC-32 (reflected 0xEDB88320, initial and final inversion), as
// CalculateCrc32 computes it.
uint32_t crc32(const void* data, size_t n);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(const std::u16string& s);

} // namespace sim

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st);
