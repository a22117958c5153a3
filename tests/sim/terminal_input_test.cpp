#include "sim/terminal_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/efi_protocols.h"
#include "platform/keyboard.h"

namespace sim {
// Readable failures.
void PrintTo(const KeyStroke& k, std::ostream* os) {
    *os << "{scan " << k.scan << ", ch " << unsigned(k.ch) << ", shift 0x" << std::hex << k.shift
        << std::dec << "}";
}
} // namespace sim

namespace {

using sim::KeyStroke;
using sim::TerminalDecoder;

constexpr uint32_t kAlt = EFI_SHIFT_STATE_VALID | EFI_LEFT_ALT_PRESSED;
constexpr uint32_t kShift = EFI_SHIFT_STATE_VALID | EFI_LEFT_SHIFT_PRESSED;

KeyStroke ch(char16_t c, uint32_t shift = 0) {
    return KeyStroke{0, c, shift};
}

KeyStroke scan(uint16_t s, uint32_t shift = 0) {
    return KeyStroke{s, 0, shift};
}

std::vector<KeyStroke> decode(const std::string& bytes) {
    TerminalDecoder d;
    d.feed(bytes.data(), bytes.size());
    return d.take();
}

TEST(TerminalDecoder, PlainKeysAndControlCharacters) {
    std::vector<KeyStroke> expected = {ch(u'a'), ch(13), ch(10), ch(9), ch(8), ch(8), ch(u'Z')};
    EXPECT_EQ(decode("a\r\n\t\x7f\x08Z"), expected);
    // Ctrl with a letter comes as the letter with Ctrl held, as OVMF reports
    // it; a NUL and the other controls are no keys.
    expected = {ch(u'a', sim::kShiftCtrl), ch(u'c', sim::kShiftCtrl), ch(u'z', sim::kShiftCtrl)};
    EXPECT_EQ(decode(std::string("\x01\x03\x1a\x00\x1c", 5)), expected);
}

TEST(TerminalDecoder, Utf8TextIncludingCharactersSplitAcrossReads) {
    TerminalDecoder d;
    std::string text = "é€😀";
    d.feed(text.data(), 1);
    EXPECT_TRUE(d.take().empty());
    EXPECT_TRUE(d.pending());
    d.feed(text.data() + 1, text.size() - 1);
    // Beyond U+FFFF the console has no character.
    EXPECT_EQ(d.take(), (std::vector<KeyStroke>{ch(u'é'), ch(u'€'), ch(u'\uFFFD')}));
    EXPECT_FALSE(d.pending());
}

TEST(TerminalDecoder, InvalidUtf8IsSkipped) {
    EXPECT_EQ(decode("a\xff\xc3(b\xc0\xaf"),
              (std::vector<KeyStroke>{ch(u'a'), ch(u'('), ch(u'b')}));
    // A character cut off at a flush is dropped, what follows is kept.
    TerminalDecoder d;
    d.feed("\xe2\x82", 2);
    d.flush();
    d.feed("x", 1);
    EXPECT_EQ(d.take(), (std::vector<KeyStroke>{ch(u'x')}));
}

TEST(TerminalDecoder, CursorKeysInBothForms) {
    std::vector<KeyStroke> expected = {
        scan(kv::SCAN_UP), scan(kv::SCAN_DOWN), scan(kv::SCAN_RIGHT), scan(kv::SCAN_LEFT),
        scan(kv::SCAN_UP), scan(kv::SCAN_DOWN), scan(kv::SCAN_RIGHT), scan(kv::SCAN_LEFT)};
    EXPECT_EQ(decode("\x1b[A\x1b[B\x1b[C\x1b[D\x1bOA\x1bOB\x1bOC\x1bOD"), expected);
}

TEST(TerminalDecoder, HomeEndInEverySpelling) {
    std::vector<KeyStroke> home(4, scan(kv::SCAN_HOME)), end(4, scan(kv::SCAN_END));
    EXPECT_EQ(decode("\x1b[H\x1b[1~\x1bOH\x1b[7~"), home);
    EXPECT_EQ(decode("\x1b[F\x1b[4~\x1bOF\x1b[8~"), end);
}

TEST(TerminalDecoder, EditingAndFunctionKeys) {
    std::vector<KeyStroke> expected = {scan(kv::SCAN_PAGE_UP),
                                       scan(kv::SCAN_PAGE_DOWN),
                                       scan(kv::SCAN_DELETE, EFI_SHIFT_STATE_VALID),
                                       scan(kv::SCAN_F5),
                                       scan(0x0B),
                                       scan(0x0B),
                                       scan(0x16),
                                       scan(0x07)};
    EXPECT_EQ(decode("\x1b[5~\x1b[6~\x1b[3~\x1b[15~\x1bOP\x1b[11~\x1b[24~\x1b[2~"), expected);
}

TEST(TerminalDecoder, ModifierParametersBecomeTheShiftState) {
    std::vector<KeyStroke> expected = {
        scan(kv::SCAN_UP, sim::kShiftCtrl),
        scan(kv::SCAN_DELETE, kShift),
        scan(kv::SCAN_HOME, kAlt),
        scan(kv::SCAN_LEFT),
        ch(9, kShift),
    };
    EXPECT_EQ(decode("\x1b[1;5A\x1b[3;2~\x1b[1;3H\x1b[1;1D\x1b[Z"), expected);
}

TEST(TerminalDecoder, LoneEscapeWaitsForTheTimeOut) {
    TerminalDecoder d;
    d.feed("\x1b", 1);
    EXPECT_TRUE(d.take().empty());
    EXPECT_TRUE(d.pending());
    d.flush();
    EXPECT_EQ(d.take(), (std::vector<KeyStroke>{scan(kv::SCAN_ESC)}));
    EXPECT_FALSE(d.pending());
}

TEST(TerminalDecoder, SequenceSplitAcrossReadsIsOneKey) {
    TerminalDecoder d;
    d.feed("\x1b", 1);
    d.feed("[1", 2);
    EXPECT_TRUE(d.take().empty());
    d.feed("5~", 2);
    EXPECT_EQ(d.take(), (std::vector<KeyStroke>{scan(kv::SCAN_F5)}));
}

TEST(TerminalDecoder, SequenceCutShortIsEscapeThenWhatWasTyped) {
    TerminalDecoder d;
    d.feed("\x1b[", 2);
    d.flush();
    EXPECT_EQ(d.take(), (std::vector<KeyStroke>{scan(kv::SCAN_ESC), ch(u'[')}));
}

TEST(TerminalDecoder, EscapeBeforeAnotherKeyIsNotLost) {
    // Esc then Esc; Esc then Enter; Alt with a letter.
    EXPECT_EQ(decode("\x1b\x1b[A"),
              (std::vector<KeyStroke>{scan(kv::SCAN_ESC), scan(kv::SCAN_UP)}));
    EXPECT_EQ(decode("\x1b\r"), (std::vector<KeyStroke>{scan(kv::SCAN_ESC), ch(13)}));
    EXPECT_EQ(decode("\x1bx"), (std::vector<KeyStroke>{ch(u'x', kAlt)}));
}

TEST(TerminalDecoder, UnknownSequencesAndRepliesAreDropped) {
    // An unknown final, a private reply (cursor position report style) and
    // an unknown SS3 key, each followed by a real key.
    EXPECT_EQ(decode("\x1b[99~a\x1b[?1;2cb\x1bOzc"),
              (std::vector<KeyStroke>{ch(u'a'), ch(u'b'), ch(u'c')}));
}

} // namespace
