#include "sim/terminal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

const char kEnterScreen[] = "\x1b[?1049h\x1b[?25l";
const char kLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

// Everything here is read by signal handlers, so it is plain data.
int g_input = -1;
int g_output = -1;
bool g_raw = false;       // input is in raw mode
bool g_alternate = false; // output is on the alternate screen
bool g_active = false;
struct termios g_saved;
struct termios g_raw_mode;
volatile sig_atomic_t g_redraw = 0;
bool g_handlers_installed = false;

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Only async-signal-safe calls below: tcsetattr and write.
void write_raw(int fd, const char* text, size_t n) {
    while (n > 0) {
        ssize_t done = ::write(fd, text, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return;
        text += done;
        n -= size_t(done);
    }
}

void give_back() {
    if (g_raw) tcsetattr(g_input, TCSANOW, &g_saved);
    if (g_alternate) write_raw(g_output, kLeaveScreen, sizeof kLeaveScreen - 1);
}

void take_again() {
    if (g_raw) tcsetattr(g_input, TCSANOW, &g_raw_mode);
    if (g_alternate) write_raw(g_output, kEnterScreen, sizeof kEnterScreen - 1);
    g_redraw = 1;
}

void on_ending_signal(int sig) {
    int saved_errno = errno;
    if (g_active) give_back();
    std::signal(sig, SIG_DFL);
    ::raise(sig);
    errno = saved_errno;
}

void on_stop_signal(int) {
    int saved_errno = errno;
    if (g_active) give_back();
    // Stop for real: the default action, with the signal unblocked (it is
    // blocked while its own handler runs).
    std::signal(SIGTSTP, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(SIGTSTP);
    // Continued: SIGCONT has taken the terminal again.
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGTSTP, &action, nullptr);
    errno = saved_errno;
}

void on_continue(int) {
    int saved_errno = errno;
    if (g_active) take_again();
    errno = saved_errno;
}

void on_resize(int) {
    g_redraw = 1;
}

void install_handlers() {
    if (g_handlers_installed) return;
    g_handlers_installed = true;
    struct sigaction action = {};
    action.sa_handler = on_ending_signal;
    for (int sig : kEndingSignals)
        sigaction(sig, &action, nullptr);
    action.sa_handler = on_stop_signal;
    sigaction(SIGTSTP, &action, nullptr);
    action.sa_handler = on_continue;
    sigaction(SIGCONT, &action, nullptr);
    action.sa_handler = on_resize;
    sigaction(SIGWINCH, &action, nullptr);
    std::atexit(terminal_end);
}

} // namespace

bool terminal_begin(int input_fd, int output_fd, std::string* error) {
    g_input = input_fd;
    g_output = output_fd;
    g_raw = false;
    g_alternate = false;
    if (isatty(input_fd)) {
        if (tcgetattr(input_fd, &g_saved) != 0) {
            *error = std::string("cannot read the terminal's mode: ") + std::strerror(errno);
            return false;
        }
        g_raw_mode = g_saved;
        g_raw_mode.c_iflag &=
            ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
        g_raw_mode.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | IEXTEN);
        g_raw_mode.c_cc[VMIN] = 1;
        g_raw_mode.c_cc[VTIME] = 0;
        if (tcsetattr(input_fd, TCSANOW, &g_raw_mode) != 0) {
            *error = std::string("cannot put the terminal in raw mode: ") + std::strerror(errno);
            return false;
        }
        g_raw = true;
    }
    g_alternate = isatty(output_fd) != 0;
    install_handlers();
    g_active = true;
    g_redraw = 0;
    if (g_alternate) write_raw(output_fd, kEnterScreen, sizeof kEnterScreen - 1);
    return true;
}

void terminal_end() {
    if (!g_active) return;
    give_back();
    g_active = false;
}

bool terminal_size(int fd, size_t* columns, size_t* rows) {
    struct winsize size = {};
    if (!isatty(fd) || ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    *columns = size.ws_col;
    *rows = size.ws_row;
    return true;
}

bool terminal_take_redraw_request() {
    if (!g_redraw) return false;
    g_redraw = 0;
    return true;
}

void write_all(int fd, const std::string& text) {
    write_raw(fd, text.data(), text.size());
}

} // namespace sim
