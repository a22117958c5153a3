// The graphical dialogs and the wipe progress box, installed in the toolkit's
// hook tables while the graphical front end runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gui/gui_state.h"

namespace kv {

constexpr int kDialogLines = 16;
constexpr int kDialogLineSize = 200; // 199 bytes and the NUL

struct Dialog {
    uint8_t warning;
    int32_t x, y, w, h;
    Rect text;
    Rect extra;
    int button_count;
    Rect buttons[2];
    const char* key_labels[2];
    const char* button_labels[2];
    Pixel* saved; // the whole back buffer before the box was drawn
    char lines[kDialogLines][kDialogLineSize];
    int line_count;
};

void dialog_open(GuiState* gui, Dialog* dialog, bool warning, const char* title, const char* text,
                 int32_t extra, int button_count, const char* const* key_labels,
                 const char* const* button_labels);
void dialog_close(GuiState* gui, Dialog* dialog);
int dialog_button_at(const GuiState* gui, const Dialog* dialog);

void gui_message(bool warning, const char* title, const char* text);
bool gui_confirm(bool warning, const char* title, const char* text);
bool gui_input(bool warning, const char* title, const char* prompt, char* buffer, size_t capacity);
int gui_choice(const char* title, const char* const* items, int count, int initial);
void gui_wipe_progress(const char* title, int pass, int percent, const char* detail);
bool gui_stop_requested();

} // namespace kv
