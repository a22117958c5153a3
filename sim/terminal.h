// The runner's hold on the controlling terminal: raw input, the alternate
// screen, and the promise to give both back on every way out of the process
// (return from main, exit, and the signals that end or stop it).
#pragma once

#include <cstddef>
#include <string>

namespace sim {

// Puts the terminal on input_fd into raw mode (no echo, no line editing,
// no CR to LF mapping; Ctrl-C, Ctrl-\ and Ctrl-Z keep their signals) and
// switches output_fd to the alternate screen. Either step is skipped for a
// descriptor that is not a terminal. False with *error when a terminal
// refuses the mode.
bool terminal_begin(int input_fd, int output_fd, std::string* error);

// Restores what terminal_begin changed; safe to call more than once.
void terminal_end();

// The size of the terminal on fd; false when fd is not a terminal or the
// size is unknown.
bool terminal_size(int fd, size_t* columns, size_t* rows);

// True once after the terminal was resized, or the process was stopped and
// continued: what it shows is no longer known.
bool terminal_take_redraw_request();

// Writes everything, retrying on interruption and short writes.
void write_all(int fd, const std::string& text);

} // namespace sim
