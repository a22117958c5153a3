// Running the program as a loaded image, and Exit. The program is built
// without exceptions and its frames own nothing that needs destroying, so
// Exit can unwind from any depth with longjmp, which is what firmware does
// in effect when it drops the image's stack.
#include <csetjmp>
#include <vector>

#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

struct RunFrame {
    EFI_HANDLE image;
    std::jmp_buf jump;
    EFI_STATUS exit_status;
};

// Innermost run last.
std::vector<RunFrame*> g_runs;

EFI_STATUS EFIAPI exit_image(EFI_HANDLE image, EFI_STATUS status, UINTN, CHAR16*) {
    for (size_t i = g_runs.size(); i-- > 0;) {
        if (g_runs[i]->image != image) continue;
        RunFrame* frame = g_runs[i];
        g_runs.resize(i);
        frame->exit_status = status;
        std::longjmp(frame->jump, 1);
    }
    return EFI_INVALID_PARAMETER;
}

EFI_STATUS call_efi_main(void*) {
    return efi_main(image_handle(), system_table());
}

} // namespace

namespace detail {

void image_reset(EFI_BOOT_SERVICES& bs) {
    g_runs.clear();
    bs.Exit = exit_image;
}

} // namespace detail

RunResult run_image(EFI_STATUS (*fn)(void*), void* ctx) {
    RunFrame frame;
    frame.image = image_handle();
    frame.exit_status = EFI_SUCCESS;
    g_runs.push_back(&frame);
    if (setjmp(frame.jump) != 0) return RunResult{true, frame.exit_status};
    EFI_STATUS status = fn(ctx);
    if (!g_runs.empty() && g_runs.back() == &frame) g_runs.pop_back();
    return RunResult{false, status};
}

RunResult run_efi_main() {
    return run_image(call_efi_main, nullptr);
}

} // namespace sim
