// PLACEHOLDER: replaced by the toolkit implementation.
#include "tui/screen.h"
namespace kv {
int g_columns = 80;
int g_rows = 25;
void refresh_screen_size() {}
void put_text(int, int, int, int, int, const char*) {}
void put_text_f(int, int, int, int, int, const char*, ...) {}
int put_segment(int column, int, int, int, const char*) { return column; }
void draw_header(const char*, const char*) {}
void clear_body() {}
void draw_key_bars(const KeyBar*, const KeyBar*) {}
Box dialog_box(bool, const char*, const char*, int) { return Box{}; }
} // namespace kv
