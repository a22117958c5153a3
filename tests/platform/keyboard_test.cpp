#include <gtest/gtest.h>

#include "platform/globals.h"
#include "platform/keyboard.h"
#include "sim/firmware.h"

namespace {

constexpr uint32_t kLeftCtrl = 0x80000008; // as OVMF reports it
constexpr uint32_t kRightCtrl = 0x80000004;
constexpr uint32_t kLeftAlt = 0x80000020;
constexpr uint64_t kMs = 10000; // virtual clock units per millisecond

// Attaches the program to the console's input extension the way start-up
// finds it, or leaves it on the plain protocol.
void attach_input(bool with_extension) {
    sim::set_input_ex(with_extension);
    EFI_SYSTEM_TABLE* st = sim::system_table();
    EFI_GUID guid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
    void* iface = nullptr;
    EFI_STATUS status = st->BootServices->HandleProtocol(st->ConsoleInHandle, &guid, &iface);
    ASSERT_EQ(status == EFI_SUCCESS, with_extension);
    kv::g_con_in_ex = static_cast<EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*>(iface);
}

class Keyboard : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        sim::reset();
        attach_input(GetParam());
        baseline_events = sim::live_events();
    }
    // Every way out of key_wait closes the timer it made.
    void TearDown() override { EXPECT_EQ(sim::live_events(), baseline_events); }

    static kv::KeyEvent poll() {
        kv::KeyEvent key{9, 9, 9};
        EXPECT_TRUE(kv::key_poll(&key));
        return key;
    }

    size_t baseline_events = 0;
};

using KeyboardEx = Keyboard;

TEST_P(KeyboardEx, CtrlWithALetterGivesTheControlCode) {
    sim::push_key(0, u'c', kLeftCtrl);
    sim::push_key(0, u'A', kRightCtrl);
    sim::push_key(0, u'z', kLeftCtrl);
    sim::push_key(0, 3, kLeftCtrl); // firmware that folds already
    kv::KeyEvent key = poll();
    EXPECT_EQ(key.ch, 3u);
    EXPECT_EQ(key.scan, 0);
    EXPECT_EQ(key.mods, kv::KEY_MOD_CTRL);
    EXPECT_EQ(poll().ch, 1u);
    EXPECT_EQ(poll().ch, 26u);
    EXPECT_EQ(poll().ch, 3u);
}

TEST_P(KeyboardEx, CtrlLeavesOtherCharactersAlone) {
    sim::push_key(0, u'1', kLeftCtrl);
    sim::push_key(0, u'[', kLeftCtrl); // 0x5B: one past 'Z'
    sim::push_key(0, u'\u00e9', kLeftCtrl);
    sim::push_key(kv::SCAN_UP, 0, kLeftCtrl);
    EXPECT_EQ(poll().ch, uint32_t(u'1'));
    EXPECT_EQ(poll().ch, uint32_t(u'['));
    EXPECT_EQ(poll().ch, 0xE9u);
    kv::KeyEvent key = poll();
    EXPECT_EQ(key.ch, 0u);
    EXPECT_EQ(key.scan, kv::SCAN_UP);
    EXPECT_EQ(key.mods, kv::KEY_MOD_CTRL);
}

TEST_P(KeyboardEx, ModifierBitsNeedAValidShiftState) {
    sim::push_key(0, u'x', kLeftAlt);
    sim::push_key(0, u'x', kLeftAlt | kRightCtrl);
    sim::push_key(0, u'c', 0x00000008); // Ctrl bit without the valid bit
    sim::push_key(0, u'c', 0x80000003); // both Shift keys
    EXPECT_EQ(poll().mods, kv::KEY_MOD_ALT);
    kv::KeyEvent both = poll();
    EXPECT_EQ(both.mods, kv::KEY_MOD_CTRL | kv::KEY_MOD_ALT);
    EXPECT_EQ(both.ch, 24u);
    kv::KeyEvent invalid = poll();
    EXPECT_EQ(invalid.ch, uint32_t(u'c'));
    EXPECT_EQ(invalid.mods, 0u);
    EXPECT_EQ(poll().mods, 0u);
}

TEST_P(KeyboardEx, AReportWithNeitherCharacterNorScanIsNoKey) {
    sim::push_key(0, 0, kLeftCtrl);
    sim::push_key(0, u'a');
    kv::KeyEvent key{7, 7, 7};
    EXPECT_FALSE(kv::key_poll(&key));
    EXPECT_EQ(key.ch, 0u);
    EXPECT_EQ(key.mods, 0u);
    EXPECT_EQ(poll().ch, uint32_t(u'a'));
}

TEST_P(KeyboardEx, ARoundOfModifierReportsDoesNotEndAWait) {
    sim::push_key_at(2 * kMs, 0, 0, kLeftCtrl);
    sim::push_key_at(5 * kMs, 0, u'x', kLeftCtrl);
    kv::KeyEvent key{};
    ASSERT_TRUE(kv::key_wait(&key, 10));
    EXPECT_EQ(key.ch, 24u);
    EXPECT_EQ(sim::now_100ns(), 5 * kMs);
}

INSTANTIATE_TEST_SUITE_P(WithExtension, KeyboardEx, ::testing::Values(true));

using KeyboardPlain = Keyboard;

TEST_P(KeyboardPlain, CtrlKeysComeAsTheFirmwareReportsThem) {
    sim::push_key(0, u'c', kLeftCtrl);
    sim::push_key(0, 3, kLeftCtrl);
    kv::KeyEvent key = poll();
    EXPECT_EQ(key.ch, uint32_t(u'c'));
    EXPECT_EQ(key.mods, 0u);
    EXPECT_EQ(poll().ch, 3u);
}

INSTANTIATE_TEST_SUITE_P(WithoutExtension, KeyboardPlain, ::testing::Values(false));

// Behaviour that must not depend on which input protocol is in use.
TEST_P(Keyboard, NoKeyGivesFalseAndAZeroKey) {
    kv::KeyEvent key{5, 5, 5};
    EXPECT_FALSE(kv::key_poll(&key));
    EXPECT_EQ(key.ch, 0u);
    EXPECT_EQ(key.scan, 0);
}

TEST_P(Keyboard, ScanCodesPassUnchanged) {
    sim::push_key(kv::SCAN_ESC, 0);
    sim::push_key(kv::SCAN_F5, 0);
    kv::KeyEvent key = poll();
    EXPECT_EQ(key.scan, kv::SCAN_ESC);
    EXPECT_TRUE(kv::is_escape_key(&key));
    EXPECT_EQ(poll().scan, kv::SCAN_F5);
}

TEST_P(Keyboard, ZeroTimeoutNeverBlocks) {
    sim::push_key_at(1 * kMs, 0, u'a');
    kv::KeyEvent key{};
    EXPECT_FALSE(kv::key_wait(&key, 0));
    EXPECT_EQ(sim::now_100ns(), 0u);
    EXPECT_EQ(sim::keys_left(), 1u);
    sim::push_key(0, u'b');
    ASSERT_TRUE(kv::key_wait(&key, 0));
    EXPECT_EQ(key.ch, uint32_t(u'b'));
    EXPECT_EQ(sim::now_100ns(), 0u);
}

TEST_P(Keyboard, TimeoutWithoutKeyReturnsFalseAfterItsTime) {
    kv::KeyEvent key{};
    EXPECT_FALSE(kv::key_wait(&key, 10));
    EXPECT_EQ(sim::now_100ns(), 10 * kMs);
}

TEST_P(Keyboard, KeyArrivingDuringTheWaitEndsIt) {
    sim::push_key_at(5 * kMs, 0, u'k');
    kv::KeyEvent key{};
    ASSERT_TRUE(kv::key_wait(&key, 10));
    EXPECT_EQ(key.ch, uint32_t(u'k'));
    EXPECT_EQ(sim::now_100ns(), 5 * kMs);
}

TEST_P(Keyboard, KeyAfterTheTimeoutWaitsForTheNextCall) {
    sim::push_key_at(20 * kMs, 0, u'k');
    kv::KeyEvent key{};
    EXPECT_FALSE(kv::key_wait(&key, 10));
    EXPECT_EQ(sim::now_100ns(), 10 * kMs);
    EXPECT_EQ(sim::keys_left(), 1u);
    ASSERT_TRUE(kv::key_wait(&key, 10));
    EXPECT_EQ(sim::now_100ns(), 20 * kMs);
}

TEST_P(Keyboard, NegativeTimeoutWaitsForALateKey) {
    const uint64_t hour = 3600000 * kMs;
    sim::push_key_at(hour, kv::SCAN_DOWN, 0);
    kv::KeyEvent key{};
    ASSERT_TRUE(kv::key_wait(&key, -1));
    EXPECT_EQ(key.scan, kv::SCAN_DOWN);
    EXPECT_EQ(sim::now_100ns(), hour);
}

// WaitForEvent refuses to run above TPL_APPLICATION; key_wait then stalls and
// polls, and must still keep to its time-out.
TEST_P(Keyboard, WaitAtRaisedPriorityStallsAndKeepsItsTimeout) {
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    EFI_TPL old = bs->RaiseTPL(TPL_CALLBACK);
    kv::KeyEvent key{};
    EXPECT_FALSE(kv::key_wait(&key, 10));
    EXPECT_GE(sim::now_100ns(), 10 * kMs);
    EXPECT_LE(sim::now_100ns(), 11 * kMs);

    sim::push_key_at(sim::now_100ns() + 5 * kMs, 0, u'q');
    uint64_t start = sim::now_100ns();
    ASSERT_TRUE(kv::key_wait(&key, -1));
    EXPECT_EQ(key.ch, uint32_t(u'q'));
    EXPECT_LE(sim::now_100ns() - start, 6 * kMs);
    bs->RestoreTPL(old);
}

EFI_STATUS EFIAPI refuse_event(UINT32, EFI_TPL, EFI_EVENT_NOTIFY, VOID*, EFI_EVENT*) {
    return EFI_OUT_OF_RESOURCES;
}

TEST_P(Keyboard, WithoutATimerTheTimeoutIsStillKept) {
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    auto create = bs->CreateEvent;
    bs->CreateEvent = refuse_event;
    kv::KeyEvent key{};
    EXPECT_FALSE(kv::key_wait(&key, 10));
    EXPECT_EQ(sim::now_100ns(), 10 * kMs);
    sim::push_key_at(13 * kMs, 0, u'w');
    EXPECT_TRUE(kv::key_wait(&key, 10));
    EXPECT_EQ(sim::now_100ns(), 13 * kMs);
    bs->CreateEvent = create;
}

EFI_STATUS wait_forever(void*) {
    kv::KeyEvent key{};
    kv::key_wait(&key, -1);
    return EFI_SUCCESS;
}

// Stands in for the program left waiting once the test's keys are used up:
// the wait falls back to stalling and polling, which only the firmware's
// script ending can stop.
TEST_P(Keyboard, WaitingWithoutLimitEndsWhenTheScriptRunsOut) {
    sim::push_key(0, u'a');
    kv::KeyEvent key{};
    ASSERT_TRUE(kv::key_wait(&key, -1));
    sim::RunResult r = sim::run_image(wait_forever, nullptr);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, EFI_ABORTED);
    EXPECT_TRUE(sim::key_script_exhausted());
    EXPECT_GE(sim::now_100ns(), 60000 * kMs);
}

// Keys typed on a serial terminal, each sequence byte by byte as the
// firmware's terminal driver passes it on: together, and with a gap between
// the bytes that a slow line or a remote console leaves.
TEST_P(Keyboard, TerminalSequencesBecomeTheirKeysAndALoneEscStaysEsc) {
    struct Case {
        const char* bytes;
        uint16_t scan;
        uint32_t ch;
    };
    const Case cases[] = {
        {"\x1b[1~", kv::SCAN_HOME, 0},
        {"\x1b[4~", kv::SCAN_END, 0},
        {"\x1b[5~", kv::SCAN_PAGE_UP, 0},
        {"\x1b[6~", kv::SCAN_PAGE_DOWN, 0},
        {"\x1b[3~", kv::SCAN_DELETE, 0},
        {"\x1b[15~", kv::SCAN_F5, 0},
        {"\x1bOH", kv::SCAN_HOME, 0},
        {"\x1bOF", kv::SCAN_END, 0},
        {"\x1b[1;5A", kv::SCAN_UP, 0},
        {"\x1b[[E", kv::SCAN_F5, 0},
        {"\x1b[H", kv::SCAN_HOME, 0}, // decoded by the firmware already
        {"\x1b[99~x", 0, 'x'},        // unknown: dropped, never Esc
        {"\x1b[2;9Zy", 0, 'y'},
        {"\x1bq", kv::SCAN_ESC, 0}, // Esc, then q on the next read
        {"\x08", 0, 0x08},
    };
    for (uint64_t gap : {uint64_t(0), 8 * kMs}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.bytes + 1 << " gap " << gap / kMs << " ms");
            uint64_t start = sim::now_100ns();
            sim::push_terminal_bytes(start, c.bytes, gap);
            kv::KeyEvent key{};
            ASSERT_TRUE(kv::key_wait(&key, 200));
            EXPECT_EQ(key.scan, c.scan);
            EXPECT_EQ(key.ch, c.ch);
            if (c.bytes[1] == 'q') {
                ASSERT_TRUE(kv::key_poll(&key));
                EXPECT_EQ(key.ch, uint32_t('q'));
            }
            EXPECT_EQ(sim::keys_left(), 0u);
            EXPECT_FALSE(kv::key_poll(&key));
        }
    }
    // A lone Esc acts without waiting for more than a blink, and a key typed
    // well after it is a key of its own.
    uint64_t start = sim::now_100ns();
    sim::push_terminal_bytes(start, "\x1b");
    sim::push_terminal_bytes(start + 100 * kMs, "[1~");
    kv::KeyEvent key{};
    ASSERT_TRUE(kv::key_wait(&key, -1));
    EXPECT_TRUE(kv::is_escape_key(&key));
    EXPECT_LT(sim::now_100ns() - start, 50 * kMs);
    ASSERT_TRUE(kv::key_wait(&key, -1));
    EXPECT_EQ(key.ch, uint32_t('['));
}

INSTANTIATE_TEST_SUITE_P(EitherInput, Keyboard, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Extension" : "Plain";
                         });

// Backspace on a terminal sends DEL, which the terminal driver reports as
// Delete; through the splitter it has a valid shift state like a keyboard's
// Delete, and only the terminal's own report tells the two apart.
TEST_P(KeyboardEx, TerminalBackspaceIsBackspaceAndEveryOtherDeleteStaysDelete) {
    kv::key_watch_terminals();
    ASSERT_EQ(sim::terminal_key_notifies(), 1u);
    const kv::KeyEvent backspace{0x08, 0, 0}, del{0, kv::SCAN_DELETE, 0};
    struct Case {
        const char* terminal; // null: a keyboard's Delete with this shift state
        uint32_t shift;
        kv::KeyEvent want;
    };
    const Case cases[] = {
        {"\x7f", 0, backspace},
        {nullptr, EFI_SHIFT_STATE_VALID, del},
        {"\x7f\x7f", 0, backspace},
        {nullptr, EFI_SHIFT_STATE_VALID, del}, // each report serves one key
        {"\x1b[3~", 0, del},
        {"\x08", 0, backspace},
        {nullptr, 0, backspace}, // firmware without a shift state
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        if (c.terminal) {
            sim::push_terminal_bytes(sim::now_100ns(), c.terminal);
        } else {
            sim::push_key(kv::SCAN_DELETE, 0, c.shift);
        }
        while (sim::keys_left() != 0) {
            kv::KeyEvent key = poll();
            EXPECT_EQ(key.ch, c.want.ch);
            EXPECT_EQ(key.scan, c.want.scan);
        }
    }
    kv::key_unwatch_terminals();
    EXPECT_EQ(sim::terminal_key_notifies(), 0u);
}

TEST(KeyPredicates, EnterIsCarriageReturnOrLineFeed) {
    kv::KeyEvent cr{13, 0, 0}, lf{10, 0, 0}, scan_cr{0, 13, 0}, space{' ', 0, 0};
    EXPECT_TRUE(kv::is_enter_key(&cr));
    EXPECT_TRUE(kv::is_enter_key(&lf));
    EXPECT_FALSE(kv::is_enter_key(&scan_cr));
    EXPECT_FALSE(kv::is_enter_key(&space));
}

TEST(KeyPredicates, EscapeIsTheScanCodeOrTheCharacter) {
    kv::KeyEvent scan{0, 0x17, 0}, ch{0x1B, 0, 0}, ch_17{0x17, 0, 0}, scan_1b{0, 0x1B, 0};
    EXPECT_TRUE(kv::is_escape_key(&scan));
    EXPECT_TRUE(kv::is_escape_key(&ch));
    EXPECT_FALSE(kv::is_escape_key(&ch_17));
    EXPECT_FALSE(kv::is_escape_key(&scan_1b));
}

} // namespace
