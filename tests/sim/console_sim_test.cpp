#include <gtest/gtest.h>

#include <string>

#include "sim/firmware.h"

namespace {

constexpr uint64_t kMs = 10000;

class SimConsole : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        st = sim::system_table();
        bs = st->BootServices;
        out = st->ConOut;
        in = st->ConIn;
        EFI_GUID guid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
        void* iface = nullptr;
        ASSERT_EQ(bs->HandleProtocol(st->ConsoleInHandle, &guid, &iface), EFI_SUCCESS);
        in_ex = static_cast<EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL*>(iface);
    }

    void write(const std::u16string& s) {
        std::u16string copy = s;
        ASSERT_EQ(out->OutputString(out, copy.data()), EFI_SUCCESS);
    }

    EFI_SYSTEM_TABLE* st = nullptr;
    EFI_BOOT_SERVICES* bs = nullptr;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = nullptr;
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = nullptr;
    EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* in_ex = nullptr;
};

TEST_F(SimConsole, TextLandsAtTheCursorInTheCurrentAttribute) {
    write(u"ab\r\nc");
    ASSERT_EQ(out->SetAttribute(out, 0x1E), EFI_SUCCESS);
    write(u"d\ne"); // a line feed alone keeps the column
    EXPECT_EQ(sim::screen_text(0), "ab");
    EXPECT_EQ(sim::screen_text(1), "cd");
    EXPECT_EQ(sim::screen_text(2), "  e");
    EXPECT_EQ(sim::screen_attribute(0, 1), 0x07);
    EXPECT_EQ(sim::screen_attribute(1, 1), 0x1E);
    EXPECT_EQ(out->Mode->CursorColumn, 3);
    EXPECT_EQ(out->Mode->CursorRow, 2);
    EXPECT_EQ(sim::console_output(), u"ab\r\ncd\ne");
}

TEST_F(SimConsole, BackspaceStepsBackWithoutErasing) {
    write(u"abc\b\bX");
    EXPECT_EQ(sim::screen_text(0), "aXc");
    EXPECT_EQ(out->Mode->CursorColumn, 2);
    write(u"\r\n\b");
    EXPECT_EQ(out->Mode->CursorColumn, 79);
    EXPECT_EQ(out->Mode->CursorRow, 0);
    write(u"\r\b");
    EXPECT_EQ(out->Mode->CursorColumn, 0);
    EXPECT_EQ(out->Mode->CursorRow, 0);
}

TEST_F(SimConsole, WritingPastTheLastColumnWraps) {
    write(std::u16string(79, u'x') + u"yz");
    EXPECT_EQ(sim::screen_text(0), std::string(79, 'x') + "y");
    EXPECT_EQ(sim::screen_text(1), "z");
    EXPECT_EQ(out->Mode->CursorColumn, 1);
    EXPECT_EQ(out->Mode->CursorRow, 1);
}

TEST_F(SimConsole, TheLastRowScrollsInTheCurrentAttribute) {
    for (int i = 0; i < 25; i++)
        write(u"L" + std::u16string(1, char16_t(u'A' + i)) + u"\r\n");
    EXPECT_EQ(out->Mode->CursorRow, 24);
    EXPECT_EQ(sim::screen_text(0), "LB");
    EXPECT_EQ(sim::screen_text(23), "LY");
    EXPECT_EQ(sim::screen_text(24), "");
    ASSERT_EQ(out->SetAttribute(out, 0x4F), EFI_SUCCESS);
    write(std::u16string(80, u'w')); // the wrap at the end scrolls too
    EXPECT_EQ(sim::screen_text(0), "LC");
    EXPECT_EQ(sim::screen_text(23), std::string(80, 'w'));
    EXPECT_EQ(sim::screen_attribute(10, 24), 0x4F);
    EXPECT_EQ(sim::screen_attribute(10, 22), 0x07);
}

TEST_F(SimConsole, ClearScreenFillsWithTheAttributeAndHomes) {
    write(u"abc\r\ndef");
    ASSERT_EQ(out->SetAttribute(out, 0x2A), EFI_SUCCESS);
    ASSERT_EQ(out->ClearScreen(out), EFI_SUCCESS);
    EXPECT_EQ(sim::screen_text(0), "");
    EXPECT_EQ(sim::screen_text(1), "");
    EXPECT_EQ(sim::screen_attribute(79, 24), 0x2A);
    EXPECT_EQ(out->Mode->CursorColumn, 0);
    EXPECT_EQ(out->Mode->CursorRow, 0);
    EXPECT_EQ(sim::console_output(), u"abc\r\ndef");
}

TEST_F(SimConsole, ModesResizeTheGridAndGapsFail) {
    sim::set_text_modes({{80, 25}, {0, 0}, {100, 31}});
    EXPECT_EQ(out->Mode->MaxMode, 3);
    EXPECT_EQ(out->Mode->Mode, 0);
    UINTN columns = 0, rows = 0;
    EXPECT_EQ(out->QueryMode(out, 1, &columns, &rows), EFI_UNSUPPORTED);
    EXPECT_EQ(out->QueryMode(out, 3, &columns, &rows), EFI_UNSUPPORTED);
    EXPECT_EQ(out->SetMode(out, 1), EFI_UNSUPPORTED);
    EXPECT_EQ(out->Mode->Mode, 0);

    write(u"old");
    ASSERT_EQ(out->SetCursorPosition(out, 40, 20), EFI_SUCCESS);
    ASSERT_EQ(out->SetMode(out, 2), EFI_SUCCESS);
    EXPECT_EQ(out->Mode->Mode, 2);
    EXPECT_EQ(sim::screen_columns(), 100u);
    EXPECT_EQ(sim::screen_rows(), 31u);
    EXPECT_EQ(sim::screen_text(0), "");
    EXPECT_EQ(out->Mode->CursorColumn, 0);
    EXPECT_EQ(out->Mode->CursorRow, 0);
    EXPECT_EQ(out->SetCursorPosition(out, 99, 30), EFI_SUCCESS);
    EXPECT_EQ(out->SetCursorPosition(out, 100, 0), EFI_UNSUPPORTED);
    EXPECT_EQ(out->SetCursorPosition(out, 0, 31), EFI_UNSUPPORTED);
    EXPECT_EQ(out->Mode->CursorColumn, 99);
}

TEST_F(SimConsole, AConsoleWithoutAShowableFirstModeStartsAtTheFirstItCanShow) {
    sim::set_text_modes({{0, 0}, {132, 50}});
    EXPECT_EQ(out->Mode->Mode, 1);
    EXPECT_EQ(sim::screen_columns(), 132u);
}

TEST_F(SimConsole, KeysAreReadInDueOrderOnceDue) {
    sim::push_key_at(20, 0, u'c');
    sim::push_key_at(10, 0, u'a');
    sim::push_key_at(10, 0, u'b');
    EFI_INPUT_KEY key{};
    EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);
    EXPECT_EQ(bs->CheckEvent(in->WaitForKey), EFI_NOT_READY);
    sim::advance_100ns(10);
    std::u16string got;
    while (in->ReadKeyStroke(in, &key) == EFI_SUCCESS)
        got += key.UnicodeChar;
    EXPECT_EQ(got, u"ab");
    EXPECT_EQ(sim::keys_left(), 1u);
    sim::advance_100ns(10);
    ASSERT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
    EXPECT_EQ(key.UnicodeChar, u'c');
}

TEST_F(SimConsole, WaitingOnEitherKeyEventMovesTheClockToTheNextKey) {
    sim::push_key_at(5 * kMs, 0, u'a');
    sim::push_key_at(9 * kMs, 0, u'b');
    UINTN index = 99;
    ASSERT_EQ(bs->WaitForEvent(1, &in->WaitForKey, &index), EFI_SUCCESS);
    EXPECT_EQ(sim::now_100ns(), 5 * kMs);
    EFI_INPUT_KEY key{};
    ASSERT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
    ASSERT_EQ(bs->WaitForEvent(1, &in_ex->WaitForKeyEx, &index), EFI_SUCCESS);
    EXPECT_EQ(sim::now_100ns(), 9 * kMs);
    EFI_KEY_DATA data{};
    ASSERT_EQ(in_ex->ReadKeyStrokeEx(in_ex, &data), EFI_SUCCESS);
    EXPECT_EQ(data.Key.UnicodeChar, u'b');
    // Script used up and no timer: the wait cannot end.
    EXPECT_EQ(bs->WaitForEvent(1, &in->WaitForKey, &index), EFI_DEVICE_ERROR);
}

TEST_F(SimConsole, AStallPastAKeysTimeMakesItDue) {
    sim::push_key_at(3 * kMs, 0, u'a');
    ASSERT_EQ(bs->Stall(2999), EFI_SUCCESS);
    EXPECT_EQ(bs->CheckEvent(in_ex->WaitForKeyEx), EFI_NOT_READY);
    ASSERT_EQ(bs->Stall(1), EFI_SUCCESS);
    EXPECT_EQ(bs->CheckEvent(in_ex->WaitForKeyEx), EFI_SUCCESS);
    EFI_KEY_DATA data{};
    EXPECT_EQ(in_ex->ReadKeyStrokeEx(in_ex, &data), EFI_SUCCESS);
}

TEST_F(SimConsole, ExtendedReadsCarryTheShiftStateThePlainOneSkipsModifierReports) {
    sim::push_key(0, u'c', 0x80000008);
    sim::push_key(0, 0, 0x80000002);
    sim::push_key(0, u'd', 0x80000008);
    EFI_KEY_DATA data{};
    ASSERT_EQ(in_ex->ReadKeyStrokeEx(in_ex, &data), EFI_SUCCESS);
    EXPECT_EQ(data.Key.UnicodeChar, u'c');
    EXPECT_EQ(data.KeyState.KeyShiftState, 0x80000008u);
    sim::push_key(0, 0, 0x80000002);
    // Plain reads: the modifier report is dropped, the shift state is lost.
    EFI_INPUT_KEY key{};
    ASSERT_EQ(in->ReadKeyStroke(in, &key), EFI_SUCCESS);
    EXPECT_EQ(key.UnicodeChar, u'd');
    EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);
    EXPECT_EQ(sim::keys_left(), 0u);
}

TEST_F(SimConsole, InputExtensionCanBeRemoved) {
    EFI_GUID guid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
    void* iface = nullptr;
    sim::set_input_ex(false);
    EXPECT_NE(bs->HandleProtocol(st->ConsoleInHandle, &guid, &iface), EFI_SUCCESS);
    sim::set_input_ex(true);
    EXPECT_EQ(bs->HandleProtocol(st->ConsoleInHandle, &guid, &iface), EFI_SUCCESS);
    EXPECT_EQ(iface, in_ex);
}

struct PollLoop {
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in;
    EFI_BOOT_SERVICES* bs;
    long rounds; // stalls of 1 ms; negative: until a key
    char16_t got;
};

EFI_STATUS poll_loop(void* context) {
    auto* loop = static_cast<PollLoop*>(context);
    EFI_INPUT_KEY key{};
    for (long i = 0; loop->rounds < 0 || i < loop->rounds; i++) {
        if (loop->in->ReadKeyStroke(loop->in, &key) == EFI_SUCCESS) {
            loop->got = key.UnicodeChar;
            return EFI_SUCCESS;
        }
        loop->bs->Stall(1000);
    }
    return EFI_NOT_FOUND;
}

TEST_F(SimConsole, AProgramPollingOnAfterTheScriptRanOutIsEnded) {
    sim::set_key_script_limit(2000 * kMs);
    sim::push_key_at(500 * kMs, 0, u'a');
    PollLoop loop{in, bs, -1, 0};
    sim::RunResult first = sim::run_image(poll_loop, &loop);
    EXPECT_FALSE(first.exited);
    EXPECT_EQ(loop.got, u'a');
    EXPECT_FALSE(sim::key_script_exhausted());

    sim::RunResult second = sim::run_image(poll_loop, &loop);
    EXPECT_TRUE(second.exited);
    EXPECT_EQ(second.status, EFI_ABORTED);
    EXPECT_TRUE(sim::key_script_exhausted());
    // Counted from the last key read, not from the start.
    EXPECT_GE(sim::now_100ns(), 2500 * kMs);
    EXPECT_LE(sim::now_100ns(), 2502 * kMs);
}

TEST_F(SimConsole, OccasionalPollsAfterALongTimeAreNotAnEndlessWait) {
    sim::advance_100ns(3600000 * kMs);
    EFI_INPUT_KEY key{};
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(in->ReadKeyStroke(in, &key), EFI_NOT_READY);
    EXPECT_FALSE(sim::key_script_exhausted());
}

TEST_F(SimConsole, TheScriptEndingCanBeSwitchedOff) {
    sim::set_key_script_limit(UINT64_MAX);
    PollLoop loop{in, bs, 200000, 0};
    sim::RunResult r = sim::run_image(poll_loop, &loop);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.status, EFI_NOT_FOUND);
}

} // namespace
