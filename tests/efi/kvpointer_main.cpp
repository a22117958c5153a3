// Entry point of kvpointer.efi, a test image for the pointer devices and
// the screen trace on real firmware (tests/scripts/e2e_pointer_usb.py).
//
// It opens the pointers and prints "kvpointer open N: <summary>", sends a
// few trace lines, then polls every 5 ms and prints the running sums of the
// motion with the button states whenever a poll brings something new:
//
//     kvpointer sum 3,-3 left 1 right 0
//
// Keys typed on the console step it along: r closes the pointers and opens
// them again (the sums start from 0, "kvpointer reopen N: <summary>"), q
// closes them and returns.
#include "gui/pointer.h"
#include "gui/trace.h"
#include "platform/console.h"
#include "platform/format.h"
#include "platform/globals.h"

namespace {

// About two minutes of polling when no q comes.
constexpr int kMaxPolls = 24000;
constexpr UINTN kPollMicroseconds = 5000;

void print(const char* line) {
    size_t n = 0;
    while (line[n])
        n++;
    kv::console_write(line, n);
}

void open_pointers(const char* verb) {
    int count = kv::pointer_open();
    char line[160];
    kv::format(line, sizeof line, "kvpointer %s %d: %s\n", verb, count, kv::pointer_summary());
    print(line);
    kv::trace_pointer_devices(kv::pointer_summary());
    kv::trace_flush();
    print("kvpointer ready\n");
}

char read_key() {
    EFI_INPUT_KEY key = {};
    if (EFI_ERROR(kv::g_st->ConIn->ReadKeyStroke(kv::g_st->ConIn, &key))) return 0;
    return key.UnicodeChar < 0x80 ? char(key.UnicodeChar) : 0;
}

void run() {
    open_pointers("open");
    // A partition name that tries to forge a line of its own, and a line
    // longer than the trace keeps.
    kv::trace_message("forged\r\ngui: dbutton Y Yes at 1,1");
    char long_text[501];
    for (int i = 0; i < 500; i++)
        long_text[i] = 'x';
    long_text[500] = 0;
    kv::trace_note(long_text);
    kv::trace_flush();

    int sum_x = 0, sum_y = 0;
    bool left = false, right = false;
    for (int polls = 0; polls < kMaxPolls; polls++) {
        char key = read_key();
        if (key == 'q') break;
        if (key == 'r') {
            kv::pointer_close();
            sum_x = sum_y = 0;
            left = right = false;
            open_pointers("reopen");
        }
        kv::PointerEvent e;
        bool got = kv::pointer_poll(&e);
        if (got || e.left != left || e.right != right) {
            sum_x += e.dx;
            sum_y += e.dy;
            left = e.left;
            right = e.right;
            char line[96];
            kv::format(line, sizeof line, "kvpointer sum %d,%d left %d right %d\n", sum_x, sum_y,
                       left ? 1 : 0, right ? 1 : 0);
            print(line);
            if (e.absolute || e.pressed) {
                kv::format(line, sizeof line, "kvpointer at %d,%d absolute %d pressed %d\n", e.ax,
                           e.ay, e.absolute ? 1 : 0, e.pressed ? 1 : 0);
                print(line);
            }
        }
        kv::g_bs->Stall(kPollMicroseconds);
    }
    kv::pointer_close();
    kv::trace_closed(kv::console_cursor_visible());
    kv::trace_flush();
    print("kvpointer done\n");
}

} // namespace

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    kv::platform_bind(image, st);
    run();
    return EFI_SUCCESS;
}
