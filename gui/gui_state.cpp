#include "gui/gui_state.h"

namespace kv {

GuiState* g_gui = nullptr;

} // namespace kv
