// The colours of the graphical main screen, one name per use.
#pragma once

#include "gui/canvas.h"

namespace kv {

constexpr Pixel kScreenBackground = 0xF3F4F6;
constexpr Pixel kTitleBand = 0x1B4F9C; // also the key caps of buttons
constexpr Pixel kWhite = 0xFFFFFF;
constexpr Pixel kBadgeBright = 0xFFE08A;
constexpr Pixel kBorder = 0xD0D7DE;
constexpr Pixel kText = 0x1F2328;
constexpr Pixel kSecondaryText = 0x6E7781;
constexpr Pixel kFocused = 0x1F6FEB;
constexpr Pixel kBarFrameUnfocused = 0x8AA9D6;
constexpr Pixel kUnfocused = 0xDCE6F5;
constexpr Pixel kFocusedSummary = 0xDCE8FF;
constexpr Pixel kHoveredFace = 0xDDEBFF;
constexpr Pixel kWarningText = 0x9A5B00; // badges, notes, changed partitions
constexpr Pixel kBarBackground = 0xE6E8EB;
constexpr Pixel kHatch = 0xD5D9DE;
constexpr Pixel kExtendedBackground = 0xEFE7DA;
constexpr Pixel kSegmentOutline = 0x8C959F;
constexpr Pixel kSegmentEfi = 0xF6C28B;
constexpr Pixel kSegmentSwap = 0xF4B5B0;
constexpr Pixel kSegmentLinux = 0xA8D5A2;
constexpr Pixel kSegmentWindows = 0x9EC5F8;
constexpr Pixel kSegmentOther = 0xC9C3E6;
constexpr Pixel kSegmentSize = 0x3D444D;
constexpr Pixel kOddRow = 0xF8F9FA;
constexpr Pixel kHeaderRow = 0xE5E9F0;
constexpr Pixel kButtonBar = 0xE9ECEF;
constexpr Pixel kInformation = 0x1A7F37;
constexpr Pixel kError = 0xCF222E;

} // namespace kv
