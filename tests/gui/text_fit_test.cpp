// text_draw_fitted on the embedded font: a text too wide is drawn exactly
// as the whole characters that fit followed by an ellipsis would be.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/font.h"

namespace {

constexpr kv::Pixel kBack = 0xFFFFFF;
constexpr kv::Pixel kInk = 0x1F2328;
const std::string kEllipsis = "\xE2\x80\xA6";

class TextFit : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(kv::font_load());
        font = kv::font_pick(20, false);
        ASSERT_NE(font, nullptr);
    }

    struct Drawn {
        std::vector<kv::Pixel> pixels;
        int32_t end;
    };

    Drawn draw(const std::string& text, int32_t max_width = -1) {
        Drawn d{std::vector<kv::Pixel>(kWidth * kHeight, kBack), 0};
        kv::Canvas c = {d.pixels.data(), kWidth, kHeight, 0, 0, kWidth, kHeight};
        d.end = max_width < 0 ? kv::text_draw(&c, 2, 2, font, kInk, text.c_str())
                              : kv::text_draw_fitted(&c, 2, 2, font, kInk, text.c_str(), max_width);
        return d;
    }

    int32_t width(const std::string& text) const { return kv::text_width(font, text.c_str()); }

    static constexpr int32_t kWidth = 400, kHeight = 40;
    const kv::FontSize* font = nullptr;
};

TEST_F(TextFit, CutTextKeepsTheWholeCharactersThatFitBeforeAnEllipsis) {
    const std::string text = "Grüße aus Köln und München";
    struct Case {
        std::string kept;
        int32_t spare; // pixels of room beyond what kept and the ellipsis take
    } cases[] = {
        {"Grüße aus Köln und M", 0},
        {"Grüße aus Köln und M", 1},
        {"Grü", 0}, // a cut right after a two-byte character
        {"G", 0},
        {"", 0},
        {"Grüße aus", 0}, // the space before the cut is not kept
        {"Grüße aus", 2},
    };
    for (const Case& c : cases) {
        const std::string expected = c.kept + kEllipsis;
        const int32_t room = width(expected) + c.spare;
        ASSERT_LT(room, width(text));
        const Drawn got = draw(text, room);
        const Drawn want = draw(expected);
        EXPECT_EQ(got.end, want.end) << c.kept;
        EXPECT_TRUE(got.pixels == want.pixels) << c.kept;
    }
    // One pixel short of a cut: one character fewer.
    EXPECT_TRUE(draw(text, width("Grüße aus Köln und M" + kEllipsis) - 1).pixels ==
                draw("Grüße aus Köln und" + kEllipsis).pixels);
}

TEST_F(TextFit, TextThatFitsIsDrawnWholeAndNoRoomDrawsNothing) {
    const std::string text = "Grüße";
    EXPECT_TRUE(draw(text, width(text)).pixels == draw(text).pixels);
    const Drawn none = draw(text, width(kEllipsis) - 1);
    EXPECT_EQ(none.end, 2);
    EXPECT_TRUE(none.pixels == std::vector<kv::Pixel>(kWidth * kHeight, kBack));
}

} // namespace
