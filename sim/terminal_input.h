// Bytes from a terminal in raw mode turned into UEFI key strokes: UTF-8
// text, Enter, Backspace, Tab, Ctrl with a letter, and the escape sequences
// that xterm-like terminals send for the cursor, editing and function keys.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/key_script.h"

namespace sim {

class TerminalDecoder {
  public:
    // Takes bytes as they arrive; every key they complete is queued.
    void feed(const char* bytes, size_t count);
    // True while the bytes seen so far end in the beginning of a sequence:
    // a lone ESC may be the Esc key or the start of an arrow key.
    bool pending() const { return !held_.empty(); }
    // The rest of a sequence did not come in time: a lone ESC is the Esc
    // key, a sequence cut short is Esc followed by its other bytes as typed,
    // a cut UTF-8 character is dropped.
    void flush();
    // The keys decoded so far, oldest first; the queue is emptied.
    std::vector<KeyStroke> take();

  private:
    void decode(bool final);

    std::string held_;
    std::vector<KeyStroke> keys_;
};

} // namespace sim
