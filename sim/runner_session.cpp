// Running the program with keys from a script or from the terminal.
//
// The simulated firmware has two places where the program asks for a key:
// the idle hook, called when the program blocks in WaitForEvent with nothing
// signalled (it waits for a key), and the read hook, called by every key
// read that finds no key (a wait's first look, or a mere poll such as the
// wipe's check for Esc). Scripted keys normally go only to the first, so
// that a poll between chunks of work cannot swallow the key meant for the
// dialog that follows; keys marked with a poll_read count also go to a read
// that does not wait.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "sim/runner.h"
#include "sim/terminal.h"
#include "sim/terminal_input.h"
#include "sim/terminal_screen.h"

namespace sim {
namespace {

// How long the rest of an escape sequence may take before a lone ESC is
// taken for the Esc key.
constexpr int kEscapeWaitMs = 50;
// How often the terminal is drawn while the program works without waiting.
constexpr auto kPollRepaintInterval = std::chrono::milliseconds(100);
constexpr size_t kFallbackColumns = 80;
constexpr size_t kFallbackRows = 25;

using Clock = std::chrono::steady_clock;

void real_stall(uint64_t microseconds) {
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

void push(const KeyStroke& key) {
    push_key(key.scan, key.ch, key.shift);
}

// Ends the run from inside a wait, as firmware ends an image: the frames in
// between are dropped, and run_image returns.
[[noreturn]] void end_run() {
    system_table()->BootServices->Exit(image_handle(), EFI_ABORTED, 0, nullptr);
    std::abort(); // Exit returns only outside run_image
}

struct FrameWriter {
    const OutputSink& out;
    bool first = true;

    void write() {
        if (!first) out("----\n");
        first = false;
        out(screen_as_text(capture_screen()));
    }
};

struct Terminal {
    Terminal(int input_fd, int output_fd) : input(input_fd), output(output_fd) {}

    int input;
    int output;
    TerminalDecoder decoder;
    ScreenPainter painter;
    size_t columns = kFallbackColumns;
    size_t rows = kFallbackRows;
    Clock::time_point last_paint;
    Clock::time_point pending_since;
    bool was_pending = false;
    bool input_ended = false;
    bool ended_run = false; // the input ended while the program waited

    void measure() {
        if (!terminal_size(output, &columns, &rows)) {
            columns = kFallbackColumns;
            rows = kFallbackRows;
        }
    }

    void repaint() {
        if (terminal_take_redraw_request()) {
            measure();
            painter.invalidate();
        }
        write_all(output, painter.paint(capture_screen(), columns, rows));
        last_paint = Clock::now();
    }

    // Reads what input there is without waiting; false at its end.
    bool read_available(int timeout_ms) {
        struct pollfd p = {input, POLLIN, 0};
        int n = ::poll(&p, 1, timeout_ms);
        if (n < 0) return errno == EINTR;
        if (n == 0) return true;
        char buffer[256];
        ssize_t got = ::read(input, buffer, sizeof buffer);
        if (got < 0) return errno == EINTR || errno == EAGAIN;
        if (got == 0) return false;
        decoder.feed(buffer, size_t(got));
        return true;
    }

    // A lone ESC becomes the Esc key once the rest of a sequence is overdue.
    void settle_escape() {
        if (!decoder.pending()) {
            was_pending = false;
            return;
        }
        Clock::time_point now = Clock::now();
        if (!was_pending) {
            was_pending = true;
            pending_since = now;
        } else if (now - pending_since >= std::chrono::milliseconds(kEscapeWaitMs)) {
            decoder.flush();
            was_pending = false;
        }
    }

    bool push_decoded() {
        std::vector<KeyStroke> keys = decoder.take();
        for (const KeyStroke& key : keys)
            push(key);
        return !keys.empty();
    }

    // The program waits for a key: show the screen and block until one comes.
    bool wait() {
        repaint();
        for (;;) {
            if (push_decoded()) return true;
            if (input_ended) {
                ended_run = true;
                end_run();
            }
            if (terminal_take_redraw_request()) {
                measure();
                painter.invalidate();
                repaint();
            }
            int timeout = decoder.pending() ? kEscapeWaitMs : -1;
            struct pollfd p = {input, POLLIN, 0};
            int n = ::poll(&p, 1, timeout);
            if (n < 0) {
                if (errno == EINTR) continue;
                input_ended = true;
            } else if (n == 0) {
                decoder.flush();
            } else if (!read_available(0)) {
                decoder.flush();
                input_ended = true;
            }
        }
    }

    // The program reads without finding a key: it may be busy, so keep the
    // screen current now and then and pass on what was typed.
    void poll_read() {
        if (Clock::now() - last_paint >= kPollRepaintInterval) repaint();
        if (!input_ended && !read_available(0)) {
            decoder.flush();
            input_ended = true;
        }
        settle_escape();
        push_decoded();
    }
};

} // namespace

int exit_status(const RunResult& result, bool keys_exhausted) {
    if (keys_exhausted) return kExitKeysExhausted;
    if (!EFI_ERROR(result.status)) return 0;
    int low = int(result.status & 0xFF);
    return low ? low : 1;
}

SessionEnd run_scripted(const std::vector<ScriptKey>& keys, bool every_frame, bool last_frame,
                        const OutputSink& out, EFI_STATUS (*entry)(void*), void* ctx) {
    FrameWriter frames{out};
    size_t next = 0;
    unsigned reads = 0; // reads that found no key since the last key was handed over
    bool exhausted = false;
    set_idle_hook([&]() -> bool {
        if (next == keys.size()) {
            exhausted = true;
            end_run();
        }
        if (every_frame) frames.write();
        reads = 0;
        push(keys[next++].key);
        return true;
    });
    set_key_read_hook([&]() {
        if (next == keys.size() || keys[next].poll_read == 0) return;
        if (++reads < keys[next].poll_read) return;
        reads = 0;
        push(keys[next++].key);
    });
    // The program calibrates its time-stamp counter against a stall; a
    // stall that only moved the virtual clock would make every elapsed time
    // it measures hundreds of times too long.
    set_stall_hook(real_stall);
    SessionEnd end;
    end.result = run_image(entry, ctx);
    set_idle_hook({});
    set_key_read_hook({});
    set_stall_hook({});
    // The console's own guard ends a program that keeps reading without
    // ever blocking once no key is left; that, too, is a script run dry.
    end.keys_exhausted = exhausted || key_script_exhausted();
    if (every_frame || last_frame) frames.write();
    return end;
}

SessionEnd run_interactive(int input_fd, int output_fd, EFI_STATUS (*entry)(void*), void* ctx) {
    Terminal terminal(input_fd, output_fd);
    terminal.measure();
    set_key_script_limit(UINT64_MAX); // a person may take their time
    set_idle_hook([&]() { return terminal.wait(); });
    set_key_read_hook([&]() { terminal.poll_read(); });
    // Real stalls, so that the program's clock calibration measures real
    // time and the wipe's speed and estimate mean something.
    set_stall_hook(real_stall);
    SessionEnd end;
    end.result = run_image(entry, ctx);
    set_idle_hook({});
    set_key_read_hook({});
    set_stall_hook({});
    end.keys_exhausted = terminal.ended_run;
    return end;
}

} // namespace sim
