// The graphics state: which graphics output is in use and what the text
// console looked like before it.
#include "gui/graphics.h"

#include "platform/console.h"
#include "platform/globals.h"

namespace kv {

namespace {

constexpr uint32_t kMinWidth = 640;
constexpr uint32_t kMinHeight = 480;
constexpr int32_t kTallScreen = 1700;

struct GraphicsState {
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop; // null while graphics are not active
    bool cursor_was_visible;
};

GraphicsState g_graphics;

EFI_GRAPHICS_OUTPUT_PROTOCOL* find_graphics_output() {
    EFI_GUID guid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
    void* iface = nullptr;
    // The console's own output is the screen the user looks at; another
    // instance may drive a second display.
    if (g_st->ConsoleOutHandle &&
        !EFI_ERROR(g_bs->HandleProtocol(g_st->ConsoleOutHandle, &guid, &iface)) && iface)
        return static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL*>(iface);
    iface = nullptr;
    if (EFI_ERROR(g_bs->LocateProtocol(&guid, nullptr, &iface))) return nullptr;
    return static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL*>(iface);
}

} // namespace

bool graphics_start(int32_t* width, int32_t* height) {
    g_graphics.gop = nullptr;
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = find_graphics_output();
    if (!gop || !gop->Mode || !gop->Mode->Info) return false;
    uint32_t w = gop->Mode->Info->HorizontalResolution;
    uint32_t h = gop->Mode->Info->VerticalResolution;
    // Sizes past the signed range cannot be canvases; refused like small ones.
    if (w < kMinWidth || h < kMinHeight || w > INT32_MAX || h > INT32_MAX) return false;
    g_graphics.gop = gop;
    SIMPLE_TEXT_OUTPUT_MODE* mode = g_st->ConOut ? g_st->ConOut->Mode : nullptr;
    g_graphics.cursor_was_visible = mode && mode->CursorVisible;
    text_cursor_show(false);
    *width = int32_t(w);
    *height = int32_t(h);
    return true;
}

void graphics_end() {
    if (!g_graphics.gop) return;
    g_graphics.gop = nullptr;
    text_clear();
    text_cursor_show(g_graphics.cursor_was_visible);
}

bool graphics_active() {
    return g_graphics.gop != nullptr;
}

void blit_to_screen(const Pixel* pixels, int32_t stride, int32_t source_x, int32_t source_y,
                    int32_t destination_x, int32_t destination_y, int32_t w, int32_t h) {
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = g_graphics.gop;
    if (!gop || w <= 0 || h <= 0 || stride < 0) return;
    // Negative values would reach the firmware as huge unsigned ones.
    if (source_x < 0 || source_y < 0 || destination_x < 0 || destination_y < 0) return;
    auto* buffer = const_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL*>(
        reinterpret_cast<const EFI_GRAPHICS_OUTPUT_BLT_PIXEL*>(pixels));
    gop->Blt(gop, buffer, EfiBltBufferToVideo, UINTN(source_x), UINTN(source_y),
             UINTN(destination_x), UINTN(destination_y), UINTN(w), UINTN(h),
             UINTN(stride) * sizeof(Pixel));
}

int32_t screen_scale(int32_t height) {
    return height > kTallScreen ? 2 : 1;
}

} // namespace kv
