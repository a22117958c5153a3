#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/globals.h"
#include "platform/memory.h"
#include "sim/firmware.h"

namespace {

using Args = std::vector<std::string>;

const Args kDefault = {"korvane"};

// Copies a vector out, checking the null entry that closes it.
Args collect(char** argv, int argc) {
    Args out;
    if (!argv) return out;
    for (int i = 0; i < argc; i++) {
        EXPECT_NE(argv[i], nullptr) << "entry " << i;
        out.push_back(argv[i] ? argv[i] : "<null>");
    }
    EXPECT_EQ(argv[argc], nullptr) << "the vector is not closed by a null entry";
    return out;
}

void free_vector(char** argv, int argc) {
    for (int i = 0; i < argc; i++)
        kv::free(argv[i]);
    kv::free(argv);
}

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        kv::g_loaded_image = sim::loaded_image();
        kv::g_argc = -1;
        kv::g_argv = nullptr;
    }

    // Load options of the given units; `bytes` overrides their size.
    void set_load_options(const std::u16string& units, long bytes = -1) {
        options_ = units;
        sim::loaded_image()->LoadOptions = options_.data();
        sim::loaded_image()->LoadOptionsSize =
            uint32_t(bytes < 0 ? units.size() * sizeof(char16_t) : size_t(bytes));
    }

    void install_shell(const std::vector<std::u16string>& args) {
        shell_args_ = args;
        shell_argv_.clear();
        for (auto& a : shell_args_)
            shell_argv_.push_back(a.data());
        shell_argv_.push_back(nullptr);
        shell_ = {};
        shell_.Argv = shell_argv_.data();
        shell_.Argc = shell_args_.size();
        EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
        EFI_HANDLE image = sim::image_handle();
        ASSERT_EQ(sim::install_protocol(&image, guid, &shell_), EFI_SUCCESS);
    }

    Args build() {
        kv::command_line_build();
        EXPECT_GE(kv::g_argc, 1);
        return collect(kv::g_argv, kv::g_argc);
    }

    Args split(const char* text) {
        size_t pool_before = sim::pool_blocks_live();
        int argc = -1;
        char** argv = kv::command_line_split(text, &argc);
        Args out = collect(argv, argc);
        EXPECT_EQ(argv == nullptr, argc == 0);
        EXPECT_EQ(int(out.size()), argc);
        // Freeing lets the firmware check the guard bytes behind every block.
        if (argv) free_vector(argv, argc);
        EXPECT_EQ(sim::pool_blocks_live(), pool_before) << "split leaked or kept pool blocks";
        return out;
    }

    std::u16string options_;
    std::vector<std::u16string> shell_args_;
    std::vector<CHAR16*> shell_argv_;
    EFI_SHELL_PARAMETERS_PROTOCOL shell_{};
};

TEST_F(CommandLine, LoadOptionsWithQuotesGiveSeparateAndEmptyArguments) {
    set_load_options(u"a \"b c\" \"\"");
    EXPECT_EQ(build(), (Args{"a", "b c", ""}));
}

TEST_F(CommandLine, LoadOptionsThatAreNotTextGiveTheDefault) {
    set_load_options(u"abc", 5); // odd byte count
    EXPECT_EQ(build(), kDefault);

    set_load_options(u"boot\x01x");
    EXPECT_EQ(build(), kDefault);

    set_load_options(u"a\x1F");
    EXPECT_EQ(build(), kDefault);
}

TEST_F(CommandLine, LoadOptionsWithoutArgumentsGiveTheDefault) {
    for (const std::u16string& blanks : {std::u16string(u"   "), std::u16string(u" \t \t")}) {
        set_load_options(blanks);
        EXPECT_EQ(build(), kDefault);
    }
    set_load_options(u"", 0);
    EXPECT_EQ(build(), kDefault);
    set_load_options(std::u16string(u"\0abc", 4)); // ends before anything was said
    EXPECT_EQ(build(), kDefault);

    sim::loaded_image()->LoadOptions = nullptr;
    sim::loaded_image()->LoadOptionsSize = 8;
    EXPECT_EQ(build(), kDefault);

    set_load_options(u"x y");
    kv::g_loaded_image = nullptr;
    EXPECT_EQ(build(), kDefault);
}

TEST_F(CommandLine, TextEndsAtTheFirstNulOrTheStatedSize) {
    // Whatever follows the NUL is not looked at, control characters included.
    set_load_options(std::u16string(u"one two\0\x01\x02", 10));
    EXPECT_EQ(build(), (Args{"one", "two"}));

    // No NUL: the size alone bounds the text, even inside an argument.
    set_load_options(u"abcdef", 4);
    EXPECT_EQ(build(), (Args{"ab"}));
}

TEST_F(CommandLine, TabsSeparateArgumentsAndBelongToQuotedOnes) {
    set_load_options(u"\tx\t\ty  \"p\tq\"\t");
    EXPECT_EQ(build(), (Args{"x", "y", "p\tq"}));
}

TEST_F(CommandLine, LoadOptionsAreConvertedToUtf8) {
    set_load_options(u"caf\u00E9 \u65E5\u672C");
    EXPECT_EQ(build(), (Args{"caf\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC"}));
}

TEST_F(CommandLine, ShellParametersComeAsTheShellSplitThem) {
    install_shell({u"fs0:\\korvane.efi", u"two words", u"", u"\u00FC"});
    set_load_options(u"ignored options");
    EXPECT_EQ(build(), (Args{"fs0:\\korvane.efi", "two words", "", "\xC3\xBC"}));
}

TEST_F(CommandLine, ShellWithoutArgumentsLeavesTheLoadOptions) {
    install_shell({});
    set_load_options(u"from options");
    EXPECT_EQ(build(), (Args{"from", "options"}));
}

TEST_F(CommandLine, QuotesToggleAnywhereAndAreNeverCopied) {
    EXPECT_EQ(split("x\"y z\"w"), (Args{"xy zw"}));
    EXPECT_EQ(split("\"unclosed quote"), (Args{"unclosed quote"}));
    EXPECT_EQ(split("a\"\"b \"\"\"\""), (Args{"ab", ""}));
    EXPECT_EQ(split("\"\" \"\""), (Args{"", ""}));
    EXPECT_EQ(split("\""), (Args{""}));
}

TEST_F(CommandLine, BackslashIsAnOrdinaryCharacter) {
    EXPECT_EQ(split("fs0:\\dir\\ a\\\"b c\"\\"), (Args{"fs0:\\dir\\", "a\\b c\\"}));
}

TEST_F(CommandLine, NothingToSplitGivesNoVector) {
    EXPECT_EQ(split(""), Args{});
    EXPECT_EQ(split(" \t  "), Args{});
}

TEST_F(CommandLine, VectorGrowsPastItsFirstCapacity) {
    // Counts around each doubling: a vector that grows one entry too late
    // writes its closing null past the block, which freeing reveals.
    for (int count : {7, 8, 9, 15, 16, 17, 31, 32, 33, 100}) {
        std::string text;
        Args expected;
        for (int i = 0; i < count; i++) {
            expected.push_back("arg" + std::to_string(i));
            text += (i % 3 ? " " : "\t \"") + expected.back() + (i % 3 ? "" : "\"");
        }
        EXPECT_EQ(split(text.c_str()), expected) << count << " arguments";
    }
}

} // namespace
