// Terminal key sequences that a firmware console passes on undecoded: the
// Esc arrives as a key of its own and the rest as ordinary characters.
#pragma once

#include <stdint.h>

namespace kv {

constexpr int kEscapeSequenceMax = 12; // characters after the Esc

struct EscapeSequence {
    uint32_t chars[kEscapeSequenceMax];
    int length;
};

enum class EscapeResult { More, Key, Unknown };

// Starts a sequence right after an Esc.
void escape_begin(EscapeSequence* seq);
// Feeds the next character. More: the sequence goes on; Key: *scan is the
// key it stands for; Unknown: no key the program knows (the whole sequence,
// this character included, is to be dropped).
EscapeResult escape_feed(EscapeSequence* seq, uint32_t ch, uint16_t* scan);

} // namespace kv
