// The simulated screen: a Graphics Output Protocol over a frame buffer in
// host memory, in one mode, as OVMF's display driver offers it.
//
// reset() puts a 1280 x 800 screen on the console handle, where firmware
// puts the console's graphics output. A test changes it afterwards:
//
//     sim::reset();
//     sim::set_display(640, 480);                       // another size
//     sim::set_display(1920, 1080, sim::DisplayPlace::OwnHandle);
//     sim::remove_display();                            // text only
//     ... run the program ...
//     uint32_t p = sim::display_pixel(10, 20);          // 0x00RRGGBB
//     sim::save_png("shot.png", sim::display_picture(), &error);
//
// Blt follows what firmware display drivers check: an operation out of
// range, a zero width or height, a rectangle that does not lie inside the
// screen, or a missing buffer for an operation that needs one gives
// EFI_INVALID_PARAMETER and changes nothing. Delta 0 means Width * 4. The
// mode's pixel format is PixelBlueGreenRedReserved8BitPerColor, so the frame
// buffer holds the same 32-bit values as a blit buffer. FrameBufferBase is a
// real address, but only what Blt writes is known to be drawn: a new screen
// starts black only if nothing else wrote there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/efi.h"
#include "platform/efi_protocols.h"
#include "sim/picture.h"

namespace sim {

// Where the protocol is published. OwnHandle: on a handle of its own, so
// that the console handle does not answer for it and only LocateProtocol
// finds it (as with a display driver the console splitter does not front).
enum class DisplayPlace { ConsoleHandle, OwnHandle };

constexpr uint32_t kDefaultDisplayWidth = 1280;
constexpr uint32_t kDefaultDisplayHeight = 800;

// Replaces the screen (removing any earlier one) with a width x height frame
// buffer, all black. Any size is accepted, below 640 x 480 included.
void set_display(uint32_t width, uint32_t height, DisplayPlace place = DisplayPlace::ConsoleHandle);
// No graphics output at all.
void remove_display();
bool display_present();

// The protocol record, for tests that damage it (a null Mode or Info) the
// way a broken driver would; null when there is no screen.
EFI_GRAPHICS_OUTPUT_PROTOCOL* display_protocol();

uint32_t display_width();
uint32_t display_height();
// 0x00RRGGBB; 0 outside the screen.
uint32_t display_pixel(uint32_t x, uint32_t y);
// The frame buffer as it stands (an empty picture without a screen).
Picture display_picture();

// Every Blt call since the screen was set, refused ones included.
struct BltCall {
    EFI_GRAPHICS_OUTPUT_BLT_OPERATION operation;
    UINTN source_x, source_y, destination_x, destination_y, width, height, delta;
    EFI_STATUS status;
    uint64_t at_100ns; // the virtual clock when it was made
};
const std::vector<BltCall>& display_blt_calls();
void clear_display_blt_calls();
// Calls of QueryMode and SetMode, which the program is never to make.
size_t display_mode_calls();

} // namespace sim
