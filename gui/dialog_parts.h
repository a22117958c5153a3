// What the dialogs and the wipe progress box have in common: the box width,
// the body with its title band, the buttons with a key cap, and showing the
// back buffer with the pointer over it.
#pragma once

#include <stdint.h>

#include "gui/gui_dialogs.h"
#include "gui/gui_state.h"

namespace kv {

constexpr Pixel kDialogBorder = 0x8C959F;
constexpr Pixel kDialogText = 0x1F2328;
constexpr Pixel kWarningText = 0xA40E26;
constexpr Pixel kWarningBand = 0xCF222E;
constexpr Pixel kNormalBand = 0x1B4F9C;
constexpr Pixel kSelection = 0x1F6FEB;
constexpr Pixel kWhite = 0xFFFFFF;

// 26 line heights, or the screen less 20 pixels each side when that is
// narrower.
int32_t dialog_width(const GuiState* gui);

// The white body with its border, and the title band (rounded at the top
// only) with the title in bold white.
void draw_dialog_body(GuiState* gui, int32_t x, int32_t y, int32_t w, int32_t h, Pixel band,
                      const char* title);

int32_t key_button_width(const GuiState* gui, const char* key, const char* label);
// danger: the red face of a warning dialog's first button.
void draw_key_button(GuiState* gui, const Rect& r, const char* key, const char* label, bool danger);

// Cuts text into at most kDialogLines lines no wider than `width` pixels;
// returns the number of lines.
int dialog_wrap(const FontSize* font, int32_t width, const char* text,
                char (*lines)[kDialogLineSize]);

// Draws the pointer over what is on the screen, when there is one.
void show_pointer(GuiState* gui);
// Copies a rectangle of the back buffer to the screen.
void present_rect(GuiState* gui, const Rect& r);
void present_all(GuiState* gui);
// The whole back buffer to the screen, the pointer over it, "dialog shown".
void dialog_show(GuiState* gui);

} // namespace kv
