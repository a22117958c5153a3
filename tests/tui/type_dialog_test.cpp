#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/guid.h"
#include "disk/types.h"
#include "platform/keyboard.h"
#include "tests/disk/image_builder.h"
#include "tests/tui/command_dialogs_fixture.h"

namespace {

using cdtest::g_script;

class TypeDialog : public cdtest::DialogTest {
  protected:
    void open_kind(kv::TableKind kind) {
        image_ = std::make_unique<sim::MemDisk>(512, 8192);
        if (kind == kv::TableKind::Gpt)
            kvtest::write_gpt(*image_, kvtest::GptPlan{});
        else
            kvtest::write_mbr(*image_, {});
        open(*image_);
        names_.clear();
        const char* name = nullptr;
        while (kv::type_choice(kind, int(names_.size()), &name, nullptr, nullptr))
            names_.push_back(name);
    }
    // Runs the dialog from the type 0x42 and an all-0x42 GUID.
    bool run(int initial = 0) {
        byte_ = 0x42;
        std::memset(guid_, 0x42, sizeof guid_);
        return kv::type_dialog(&view_, &byte_, guid_, initial);
    }
    bool run_other(const std::string& text) {
        answer({text}, {int(names_.size())});
        return run();
    }

    std::unique_ptr<sim::MemDisk> image_;
    std::vector<std::string> names_;
    uint8_t byte_ = 0;
    uint8_t guid_[16] = {};
};

TEST_F(TypeDialog, ListsTheCatalogueThenOtherAndReturnsTheChosenType) {
    for (kv::TableKind kind : {kv::TableKind::Mbr, kv::TableKind::Gpt}) {
        open_kind(kind);
        answer({}, {-1});
        EXPECT_FALSE(run(3));
        ASSERT_EQ(g_script.of("choice").size(), 1u);
        cdtest::Call list = g_script.of("choice")[0];
        EXPECT_EQ(list.title, "Type");
        EXPECT_EQ(list.initial, 3);
        std::vector<std::string> expected = names_;
        expected.push_back(kind == kv::TableKind::Gpt ? "Other (type GUID)..."
                                                      : "Other (type byte)...");
        EXPECT_EQ(list.items, expected);

        uint8_t byte = 0x42, guid[16];
        std::memset(guid, 0x42, 16);
        ASSERT_TRUE(kv::type_choice(kind, 4, nullptr, &byte, guid));
        answer({}, {4});
        ASSERT_TRUE(run());
        EXPECT_EQ(byte_, byte);
        EXPECT_EQ(0, std::memcmp(guid_, guid, 16));
    }
}

TEST_F(TypeDialog, TypeByteMustBeHexFrom01ToFF) {
    open_kind(kv::TableKind::Mbr);
    struct {
        const char* text;
        uint8_t byte;
    } good[] = {
        {"ef", 0xEF}, {"0C", 0x0C}, {"1", 0x01}, {"FF", 0xFF}, {"0000000000000000000ef", 0xEF}};
    for (const auto& g : good) {
        EXPECT_TRUE(run_other(g.text)) << g.text;
        EXPECT_EQ(byte_, g.byte) << g.text;
        EXPECT_TRUE(g_script.of("message").empty()) << g.text;
    }
    cdtest::Call prompt = g_script.of("input").at(0);
    EXPECT_EQ(prompt.text, "Type byte (hex):");
    EXPECT_EQ(prompt.initial_text, "");
    EXPECT_EQ(prompt.capacity, 64u);

    // "10000000000000001" is 1 after a wrapping 64-bit conversion.
    for (const char* bad :
         {"0", "100", "1EF", "7x", "", "10000000000000001", "-1", "0xEF", " ef", "ef "}) {
        EXPECT_FALSE(run_other(bad)) << bad;
        EXPECT_EQ(byte_, 0x42) << bad;
        ASSERT_EQ(g_script.of("message").size(), 1u) << bad;
        cdtest::Call m = g_script.of("message")[0];
        EXPECT_TRUE(m.warning);
        EXPECT_EQ(m.title, "Type");
        EXPECT_EQ(m.text, "A byte from 01 to FF.");
    }
}

TEST_F(TypeDialog, TypeGuidAnswerChangesOnlyTheGuid) {
    open_kind(kv::TableKind::Gpt);
    const char* text = "0fc63daf-8483-4772-8e79-3d69d8477de4";
    uint8_t expected[16];
    ASSERT_TRUE(kv::guid_from_text(text, expected));
    EXPECT_TRUE(run_other(text));
    EXPECT_EQ(0, std::memcmp(guid_, expected, 16));
    EXPECT_EQ(byte_, 0x42);
    EXPECT_EQ(g_script.of("input").at(0).text, "Type GUID:");

    EXPECT_FALSE(run_other("0FC63DAF-8483-4772-8E79-3D69D8477DE"));
    EXPECT_EQ(guid_[0], 0x42);
    ASSERT_EQ(g_script.of("message").size(), 1u);
    EXPECT_EQ(g_script.of("message")[0].text, "Not a GUID.");
}

TEST_F(TypeDialog, WorksThroughTheTextModeDialogs) {
    open_kind(kv::TableKind::Mbr);
    kv::g_dialog_hooks = nullptr;
    kv::g_screen_hooks = nullptr;
    sim::push_key(kv::SCAN_END, 0); // to Other
    for (char16_t c : {u'\r', u'0', u'c', u'\r'})
        sim::push_key(0, c);
    EXPECT_TRUE(run());
    EXPECT_EQ(byte_, 0x0C);
    EXPECT_EQ(sim::keys_left(), 0u);
}

} // namespace
