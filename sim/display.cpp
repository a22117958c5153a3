// The simulated screen's Graphics Output Protocol. One mode, the current
// one; the frame buffer is host memory that Blt reads and writes.
#include "sim/display.h"

#include <algorithm>
#include <cstring>

#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

const EFI_GUID kGopGuid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;

struct DisplayState {
    EFI_GRAPHICS_OUTPUT_PROTOCOL gop{};
    EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE mode{};
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION info{};
    EFI_HANDLE handle = nullptr; // null: no screen
    std::vector<BltCall> calls;
    size_t mode_calls = 0;
};

DisplayState g_display;

// The frame buffer, width * height pixels of 0x00RRGGBB, outlives the
// protocol record: every firmware reset sets up a screen, and clearing only
// what was drawn on keeps thousands of resets from each paging in megabytes.
struct Frame {
    std::vector<uint32_t> pixels;
    bool clean = true; // all zero
};
Frame g_frame;

void frame_clear(size_t size) {
    if (g_frame.pixels.size() != size) {
        g_frame.pixels.assign(size, 0u);
    } else if (!g_frame.clean) {
        std::fill(g_frame.pixels.begin(), g_frame.pixels.end(), 0u);
    }
    g_frame.clean = true;
}

uint32_t width() {
    return g_display.info.HorizontalResolution;
}
uint32_t height() {
    return g_display.info.VerticalResolution;
}

// x + w <= limit without the sum wrapping.
bool span_inside(UINTN x, UINTN w, UINTN limit) {
    return x <= limit && w <= limit - x;
}

bool rect_on_screen(UINTN x, UINTN y, UINTN w, UINTN h) {
    return span_inside(x, w, width()) && span_inside(y, h, height());
}

uint32_t* frame_row(UINTN y) {
    return g_frame.pixels.data() + size_t(y) * width();
}

uint8_t* buffer_row(EFI_GRAPHICS_OUTPUT_BLT_PIXEL* buffer, UINTN delta, UINTN y) {
    return reinterpret_cast<uint8_t*>(buffer) + y * delta;
}

EFI_STATUS blt(EFI_GRAPHICS_OUTPUT_BLT_PIXEL* buffer, EFI_GRAPHICS_OUTPUT_BLT_OPERATION op,
               UINTN sx, UINTN sy, UINTN dx, UINTN dy, UINTN w, UINTN h, UINTN delta) {
    if (unsigned(op) >= unsigned(EfiGraphicsOutputBltOperationMax)) return EFI_INVALID_PARAMETER;
    if (w == 0 || h == 0) return EFI_INVALID_PARAMETER;
    if (delta == 0) delta = w * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
    switch (op) {
    case EfiBltVideoFill: {
        if (!buffer || !rect_on_screen(dx, dy, w, h)) return EFI_INVALID_PARAMETER;
        uint32_t colour;
        std::memcpy(&colour, buffer, sizeof colour);
        for (UINTN row = 0; row < h; row++) {
            uint32_t* out = frame_row(dy + row) + dx;
            for (UINTN col = 0; col < w; col++)
                out[col] = colour;
        }
        return EFI_SUCCESS;
    }
    case EfiBltVideoToBltBuffer:
        if (!buffer || !rect_on_screen(sx, sy, w, h)) return EFI_INVALID_PARAMETER;
        for (UINTN row = 0; row < h; row++)
            std::memcpy(buffer_row(buffer, delta, dy + row) + dx * 4, frame_row(sy + row) + sx,
                        w * 4);
        return EFI_SUCCESS;
    case EfiBltBufferToVideo:
        if (!buffer || !rect_on_screen(dx, dy, w, h)) return EFI_INVALID_PARAMETER;
        for (UINTN row = 0; row < h; row++)
            std::memcpy(frame_row(dy + row) + dx, buffer_row(buffer, delta, sy + row) + sx * 4,
                        w * 4);
        return EFI_SUCCESS;
    case EfiBltVideoToVideo: {
        if (!rect_on_screen(sx, sy, w, h) || !rect_on_screen(dx, dy, w, h))
            return EFI_INVALID_PARAMETER;
        // Rows in the order that never reads a row already overwritten.
        bool upward = dy > sy;
        for (UINTN i = 0; i < h; i++) {
            UINTN row = upward ? h - 1 - i : i;
            std::memmove(frame_row(dy + row) + dx, frame_row(sy + row) + sx, w * 4);
        }
        return EFI_SUCCESS;
    }
    default:
        return EFI_INVALID_PARAMETER;
    }
}

EFI_STATUS EFIAPI gop_blt(EFI_GRAPHICS_OUTPUT_PROTOCOL*, EFI_GRAPHICS_OUTPUT_BLT_PIXEL* buffer,
                          EFI_GRAPHICS_OUTPUT_BLT_OPERATION op, UINTN sx, UINTN sy, UINTN dx,
                          UINTN dy, UINTN w, UINTN h, UINTN delta) {
    EFI_STATUS status = blt(buffer, op, sx, sy, dx, dy, w, h, delta);
    if (status == EFI_SUCCESS && op != EfiBltVideoToBltBuffer) g_frame.clean = false;
    g_display.calls.push_back(BltCall{op, sx, sy, dx, dy, w, h, delta, status, now_100ns()});
    return status;
}

EFI_STATUS EFIAPI gop_query_mode(EFI_GRAPHICS_OUTPUT_PROTOCOL*, UINT32 number, UINTN* size,
                                 EFI_GRAPHICS_OUTPUT_MODE_INFORMATION** info) {
    g_display.mode_calls++;
    if (!size || !info || number != 0) return EFI_INVALID_PARAMETER;
    void* copy = nullptr;
    EFI_STATUS status = detail::pool_allocate(sizeof g_display.info, &copy);
    if (EFI_ERROR(status)) return status;
    std::memcpy(copy, &g_display.info, sizeof g_display.info);
    *info = static_cast<EFI_GRAPHICS_OUTPUT_MODE_INFORMATION*>(copy);
    *size = sizeof g_display.info;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI gop_set_mode(EFI_GRAPHICS_OUTPUT_PROTOCOL*, UINT32 number) {
    g_display.mode_calls++;
    if (number != 0) return EFI_UNSUPPORTED;
    frame_clear(g_frame.pixels.size());
    return EFI_SUCCESS;
}

} // namespace

void set_display(uint32_t w, uint32_t h, DisplayPlace place) {
    remove_display();
    DisplayState& d = g_display;
    d.info = EFI_GRAPHICS_OUTPUT_MODE_INFORMATION{};
    d.info.HorizontalResolution = w;
    d.info.VerticalResolution = h;
    d.info.PixelFormat = PixelBlueGreenRedReserved8BitPerColor;
    d.info.PixelsPerScanLine = w;
    frame_clear(size_t(w) * h);
    d.mode = EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE{};
    d.mode.MaxMode = 1;
    d.mode.Mode = 0;
    d.mode.Info = &d.info;
    d.mode.SizeOfInfo = sizeof d.info;
    d.mode.FrameBufferBase =
        EFI_PHYSICAL_ADDRESS(reinterpret_cast<uintptr_t>(g_frame.pixels.data()));
    d.mode.FrameBufferSize = g_frame.pixels.size() * sizeof(uint32_t);
    d.gop.QueryMode = gop_query_mode;
    d.gop.SetMode = gop_set_mode;
    d.gop.Blt = gop_blt;
    d.gop.Mode = &d.mode;
    d.calls.clear();
    d.mode_calls = 0;
    EFI_HANDLE handle =
        place == DisplayPlace::ConsoleHandle ? system_table()->ConsoleOutHandle : nullptr;
    install_protocol(&handle, kGopGuid, &d.gop);
    d.handle = handle;
}

void remove_display() {
    if (g_display.handle) uninstall_protocol(g_display.handle, kGopGuid);
    g_display = DisplayState{};
}

bool display_present() {
    return g_display.handle != nullptr;
}

EFI_GRAPHICS_OUTPUT_PROTOCOL* display_protocol() {
    return g_display.handle ? &g_display.gop : nullptr;
}

uint32_t display_width() {
    return g_display.handle ? width() : 0;
}
uint32_t display_height() {
    return g_display.handle ? height() : 0;
}

uint32_t display_pixel(uint32_t x, uint32_t y) {
    if (!g_display.handle || x >= width() || y >= height()) return 0;
    return frame_row(y)[x] & 0xFFFFFFu;
}

Picture display_picture() {
    if (!g_display.handle) return Picture{};
    return picture_from(g_frame.pixels.data(), width(), height(), width());
}

const std::vector<BltCall>& display_blt_calls() {
    return g_display.calls;
}

void clear_display_blt_calls() {
    g_display.calls.clear();
}

size_t display_mode_calls() {
    return g_display.mode_calls;
}

namespace detail {

// The handle database was emptied before this runs: nothing to uninstall.
void display_reset() {
    g_display = DisplayState{};
    set_display(kDefaultDisplayWidth, kDefaultDisplayHeight);
}

} // namespace detail

} // namespace sim
