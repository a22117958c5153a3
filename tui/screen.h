// Drawing on the firmware text console: positioned, clipped, coloured
// fields, the header line, the key-hint bars and centred dialog boxes.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace kv {

// UEFI text attribute colours the front end uses.
constexpr int COLOR_BLACK = 0;
constexpr int COLOR_BLUE = 1;
constexpr int COLOR_CYAN = 3;
constexpr int COLOR_RED = 4;
constexpr int COLOR_LIGHTGRAY = 7;
constexpr int COLOR_DARKGRAY = 8;
constexpr int COLOR_LIGHTGREEN = 10;
constexpr int COLOR_LIGHTRED = 12;
constexpr int COLOR_YELLOW = 14;
constexpr int COLOR_WHITE = 15;

// The screen size every drawing works with (80 x 25 until the first refresh).
extern int g_columns;
extern int g_rows;

// Takes the size of the current text mode, at least 40 x 12.
void refresh_screen_size();

// Display cells of a UTF-8 text (one per character); 0 for none.
int text_cells(const char* text);

// Text in a field of `width` cells, padded with spaces in the same colours.
// Characters below U+0020 and U+007F-U+009F are shown as "?": texts read from disks
// must not move the cursor or paint over the screen.
void put_text(int column, int row, int width, int foreground, int background, const char* text);
void put_text_f(int column, int row, int width, int foreground, int background, const char* format,
                ...) __attribute__((format(printf, 6, 7)));
// Writes at the current cursor position, cut to end_column - column cells;
// returns the column after the text.
int put_segment(int column, int end_column, int foreground, int background, const char* text);

void draw_header(const char* title, const char* right);
void clear_body();

struct KeyHint {
    const char* key;
    const char* label;
};

struct KeyBar {
    const char* title; // null: none
    const KeyHint* pairs;
    int count;
};

// Upper bar on row rows - 2 and lower on rows - 1; without a lower bar the
// upper one goes to the last row.
void draw_key_bars(const KeyBar* upper, const KeyBar* lower);

struct Box {
    int left;
    int top;
    int width;
    int height;
    int foreground; // body colours
    int background;
};

// A centred box with the title and the wrapped text; `extra_rows` empty rows
// at its bottom are left for the caller.
Box dialog_box(bool warning, const char* title, const char* text, int extra_rows);

} // namespace kv
