// text_draw_fitted on the embedded font: a text too wide is drawn exactly
// as the whole characters that fit followed by an ellipsis would be.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/font.h"

namespace {

TEST(TextFit, CutTextKeepsTheWholeCharactersThatFitBeforeAnEllipsis) {
    ASSERT_TRUE(kv::font_load());
    const kv::FontSize* font = kv::font_pick(20, false);
    constexpr int32_t kWidth = 400, kHeight = 40;
    // The pixels and the pen's end; max_width < 0 draws without fitting.
    auto draw = [&](const std::string& text, int32_t max_width) {
        std::vector<kv::Pixel> pixels(kWidth * kHeight, 0xFFFFFF);
        kv::Canvas c = {pixels.data(), kWidth, kHeight, 0, 0, kWidth, kHeight};
        const int32_t end =
            max_width < 0 ? kv::text_draw(&c, 2, 2, font, 0x1F2328, text.c_str())
                          : kv::text_draw_fitted(&c, 2, 2, font, 0x1F2328, text.c_str(), max_width);
        return std::pair{pixels, end};
    };
    auto width = [&](const std::string& t) { return kv::text_width(font, t.c_str()); };
    const std::string text = "Grüße aus Köln und München", dots = "\xE2\x80\xA6";

    struct Case {
        int32_t room;
        std::string shown;
    } cases[] = {
        {width(text), text}, // fits: drawn whole
        {width("Grüße aus Köln und M" + dots), "Grüße aus Köln und M" + dots},
        {width("Grüße aus Köln und M" + dots) + 1, "Grüße aus Köln und M" + dots},
        {width("Grüße aus Köln und M" + dots) - 1, "Grüße aus Köln und" + dots},
        {width("Grü" + dots), "Grü" + dots},                 // right after a two-byte character
        {width("Grüße aus" + dots) + 2, "Grüße aus" + dots}, // no space before it
        {width(dots), dots},
        {width(dots) - 1, ""}, // not even the ellipsis: nothing
    };
    for (const Case& c : cases)
        EXPECT_TRUE(draw(text, c.room) == draw(c.shown, -1)) << c.room << " " << c.shown;
}

} // namespace
