#include "sim/key_script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/efi_protocols.h"
#include "platform/keyboard.h"

namespace {

using sim::KeyStroke;
using sim::ScriptKey;

std::vector<ScriptKey> parse(const std::string& script) {
    std::vector<ScriptKey> keys;
    std::string error;
    EXPECT_TRUE(sim::parse_key_script(script, &keys, &error)) << script << ": " << error;
    return keys;
}

std::string error_of(const std::string& script) {
    std::vector<ScriptKey> keys = {ScriptKey{}};
    std::string error;
    EXPECT_FALSE(sim::parse_key_script(script, &keys, &error)) << script;
    return error;
}

KeyStroke ch(char16_t c, uint32_t shift = 0) {
    return KeyStroke{0, c, shift};
}

KeyStroke scan(uint16_t s) {
    return KeyStroke{s, 0, 0};
}

std::vector<KeyStroke> strokes(const std::vector<ScriptKey>& keys) {
    std::vector<KeyStroke> out;
    for (const ScriptKey& k : keys)
        out.push_back(k.key);
    return out;
}

TEST(KeyScript, SingleCharactersAreTheirOwnKeysInOrder) {
    std::vector<KeyStroke> expected = {ch(u'y'), ch(u'Y'), ch(u'='), ch(u'-'), ch(u'é')};
    EXPECT_EQ(strokes(parse("y,Y,=,-,é")), expected);
}

TEST(KeyScript, EveryKeyNameGivesItsUefiKey) {
    std::vector<KeyStroke> expected = {
        ch(13),
        scan(kv::SCAN_ESC),
        scan(kv::SCAN_UP),
        scan(kv::SCAN_DOWN),
        scan(kv::SCAN_LEFT),
        scan(kv::SCAN_RIGHT),
        scan(kv::SCAN_HOME),
        scan(kv::SCAN_END),
        scan(kv::SCAN_PAGE_UP),
        scan(kv::SCAN_PAGE_DOWN),
        KeyStroke{kv::SCAN_DELETE, 0, EFI_SHIFT_STATE_VALID},
        ch(8),
        ch(9),
        scan(kv::SCAN_F5),
        ch(u' '),
    };
    EXPECT_EQ(strokes(parse("enter,esc,up,down,left,right,home,end,pgup,pgdn,del,bs,tab,f5,space")),
              expected);
    // Names ignore case.
    EXPECT_EQ(strokes(parse("ENTER,Esc,PgDn")),
              (std::vector<KeyStroke>{ch(13), scan(kv::SCAN_ESC), scan(kv::SCAN_PAGE_DOWN)}));
}

TEST(KeyScript, CtrlHoldsCtrlWithACharacterOrANamedKey) {
    std::vector<KeyStroke> expected = {ch(u'c', sim::kShiftCtrl), ch(u'X', sim::kShiftCtrl),
                                       KeyStroke{kv::SCAN_HOME, 0, sim::kShiftCtrl},
                                       ch(u',', sim::kShiftCtrl)};
    EXPECT_EQ(strokes(parse("ctrl-c,CTRL-X,ctrl-home,ctrl-\\,")), expected);
}

TEST(KeyScript, EqualsTypesTheRestOneKeyPerCharacter) {
    std::vector<KeyStroke> expected = {ch(u'5'), ch(u'1'), ch(u'2'), ch(u'M'), ch(13)};
    EXPECT_EQ(strokes(parse("=512M,enter")), expected);
    // Typed text is never read as a key name, and may hold escaped commas.
    EXPECT_EQ(strokes(parse("=esc")), (std::vector<KeyStroke>{ch(u'e'), ch(u's'), ch(u'c')}));
    EXPECT_EQ(strokes(parse("=a\\,b")), (std::vector<KeyStroke>{ch(u'a'), ch(u','), ch(u'b')}));
    EXPECT_EQ(strokes(parse("==")), (std::vector<KeyStroke>{ch(u'=')}));
    EXPECT_EQ(
        strokes(parse("=fs0:\\\\x")),
        (std::vector<KeyStroke>{ch(u'f'), ch(u's'), ch(u'0'), ch(u':'), ch(u'\\'), ch(u'x')}));
}

TEST(KeyScript, BackslashEscapesCommaAndBackslash) {
    std::vector<KeyStroke> expected = {ch(u','), ch(u'\\'), ch(u'a')};
    EXPECT_EQ(strokes(parse("\\,,\\\\,a")), expected);
}

TEST(KeyScript, PollMarksCountReadsAndLeaveOtherKeysForWaits) {
    std::vector<ScriptKey> keys = parse("y,poll-esc,POLL3-y,poll-ctrl-c,enter");
    ASSERT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys[0].poll_read, 0u);
    EXPECT_EQ(keys[1].poll_read, 1u);
    EXPECT_EQ(keys[1].key, scan(kv::SCAN_ESC));
    EXPECT_EQ(keys[2].poll_read, 3u);
    EXPECT_EQ(keys[2].key, ch(u'y'));
    EXPECT_EQ(keys[3].poll_read, 1u);
    EXPECT_EQ(keys[3].key, ch(u'c', sim::kShiftCtrl));
    EXPECT_EQ(keys[4].poll_read, 0u);
    // Typed text is never marked.
    for (const ScriptKey& k : parse("=poll-x"))
        EXPECT_EQ(k.poll_read, 0u);
}

TEST(KeyScript, EmptyScriptHasNoKeys) {
    EXPECT_TRUE(parse("").empty());
}

TEST(KeyScript, RejectsWhatIsNoKey) {
    EXPECT_EQ(error_of("y,foo"), "key 2 \"foo\": unknown key");
    EXPECT_EQ(error_of("a,,b"), "key 2 is empty");
    EXPECT_EQ(error_of("a,"), "key 2 is empty");
    EXPECT_EQ(error_of(",a"), "key 1 is empty");
    EXPECT_EQ(error_of("ctrl-"), "key 1 \"ctrl-\": unknown key");
    EXPECT_EQ(error_of("ctrl-ctrl-c"), "key 1 \"ctrl-ctrl-c\": unknown key");
    EXPECT_EQ(error_of("ctrl-foo"), "key 1 \"ctrl-foo\": unknown key");
    EXPECT_EQ(error_of("poll-"), "key 1 \"poll-\": unknown key");
    EXPECT_EQ(error_of("poll0-esc"),
              "key 1 \"poll0-esc\": the read count must be from 1 to 999999");
    EXPECT_EQ(error_of("pollx-esc"), "key 1 \"pollx-esc\": unknown key");
    EXPECT_EQ(error_of("poll-=ab"), "key 1 \"poll-=ab\": unknown key");
}

TEST(KeyScript, RejectsStrayBackslashes) {
    EXPECT_EQ(error_of("a,\\n"), "key 2: a backslash may only escape a comma or a backslash");
    EXPECT_EQ(error_of("a\\"), "key 1: a backslash may only escape a comma or a backslash");
}

TEST(KeyScript, RejectsWhatTheConsoleCannotCarry) {
    EXPECT_EQ(error_of("😀"), "key 1 \"😀\": characters above U+FFFF cannot be typed on the console");
    EXPECT_EQ(error_of("=a😀"),
              "key 1 \"=a😀\": characters above U+FFFF cannot be typed on the console");
    EXPECT_EQ(error_of("\xC3"), "key 1 \"\xC3\": not valid UTF-8");
    EXPECT_EQ(error_of("=\xC0\xAF"), "key 1 \"=\xC0\xAF\": not valid UTF-8"); // overlong '/'
}

} // namespace

namespace {

TEST(KeyScript, PointerTokensTakeTheirPositionAcrossTheComma) {
    std::vector<ScriptKey> keys = parse("move=10,20,click=0,799,y,CLICK:New table,click=5\\,6");
    ASSERT_EQ(keys.size(), 5u);
    EXPECT_EQ(keys[0].pointer, sim::PointerAction::Move);
    EXPECT_EQ(keys[0].x, 10);
    EXPECT_EQ(keys[0].y, 20);
    EXPECT_EQ(keys[0].token, "move=10,20");
    EXPECT_EQ(keys[1].pointer, sim::PointerAction::Click);
    EXPECT_EQ(keys[1].x, 0);
    EXPECT_EQ(keys[1].y, 799);
    // The comma after a whole position ends the token again.
    EXPECT_EQ(keys[2].pointer, sim::PointerAction::None);
    EXPECT_EQ(keys[2].key, ch(u'y'));
    EXPECT_EQ(keys[3].pointer, sim::PointerAction::ClickLabel);
    EXPECT_EQ(keys[3].label, "New table");
    EXPECT_EQ(keys[4].pointer, sim::PointerAction::Click);
    EXPECT_EQ(keys[4].y, 6);

    // A wipe only polls: its Stop button is clicked at a read that does not wait.
    keys = parse("poll2-click:Stop,poll-click=3,4,q");
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].poll_read, 2u);
    EXPECT_EQ(keys[0].label, "Stop");
    EXPECT_EQ(keys[1].poll_read, 1u);
    EXPECT_EQ(keys[1].x, 3);
    EXPECT_EQ(keys[1].y, 4);
    EXPECT_EQ(keys[2].key, ch(u'q'));
}

TEST(KeyScript, BadPointerTokensAreNamed) {
    EXPECT_EQ(error_of("y,click=12,ab"), "key 2 \"click=12,ab\": expected click=X,Y in pixels");
    EXPECT_EQ(error_of("move=1"), "key 1 \"move=1\": expected move=X,Y in pixels");
    EXPECT_EQ(error_of("click=-1,3"), "key 1 \"click=-1,3\": expected click=X,Y in pixels");
    EXPECT_EQ(error_of("click=123456,3"), "key 1 \"click=123456,3\": expected click=X,Y in pixels");
    EXPECT_EQ(error_of("click:"), "key 1 \"click:\": click: needs a label");
    EXPECT_EQ(error_of("click"), "key 1 \"click\": unknown key");
}

} // namespace
