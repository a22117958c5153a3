#include "platform/stack_switch.h"

#if defined(__SANITIZE_ADDRESS__)
#define KV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_ASAN 1
#endif
#endif

// kv_stack_switch_call(top, fn, ctx): keeps the caller's stack pointer in
// the callee-saved frame pointer, moves to `top`, calls fn(ctx) and moves
// back. The firmware image uses the Microsoft x64 convention, which also
// wants 32 bytes of home space above the return address; the host build
// uses the System V one.
extern "C" int kv_stack_switch_call(void* top, int (*fn)(void*), void* ctx);

#if defined(_WIN64)
__asm__(".text\n"
        ".globl kv_stack_switch_call\n"
        ".def kv_stack_switch_call\n"
        ".scl 2\n"
        ".type 32\n"
        ".endef\n"
        "kv_stack_switch_call:\n"
        "    pushq %rbp\n"
        "    movq %rsp, %rbp\n"
        "    movq %rcx, %rsp\n"
        "    subq $32, %rsp\n"
        "    movq %r8, %rcx\n"
        "    callq *%rdx\n"
        "    movq %rbp, %rsp\n"
        "    popq %rbp\n"
        "    retq\n");
#else
// The call frame information lets debuggers and the sanitizers' unwinder
// walk from the private stack back onto the caller's.
__asm__(".text\n"
        ".globl kv_stack_switch_call\n"
        ".type kv_stack_switch_call, @function\n"
        "kv_stack_switch_call:\n"
        "    .cfi_startproc\n"
        "    pushq %rbp\n"
        "    .cfi_def_cfa_offset 16\n"
        "    .cfi_offset %rbp, -16\n"
        "    movq %rsp, %rbp\n"
        "    .cfi_def_cfa_register %rbp\n"
        "    movq %rdi, %rsp\n"
        "    movq %rdx, %rdi\n"
        "    callq *%rsi\n"
        "    movq %rbp, %rsp\n"
        "    popq %rbp\n"
        "    .cfi_def_cfa %rsp, 8\n"
        "    retq\n"
        "    .cfi_endproc\n"
        ".size kv_stack_switch_call, . - kv_stack_switch_call\n");
#endif

#ifdef KV_ASAN
extern "C" void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom,
                                               size_t size);
extern "C" void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old,
                                                size_t* size_old);
#endif

namespace kv {

namespace {

#ifdef KV_ASAN
// AddressSanitizer is told that a switch to the new stack has begun, and the
// switch is left unfinished for the whole call: while a switch is under way
// it takes the current stack to be whichever of the two holds the stack
// pointer. A finished switch would stay wrong after Exit jumped from the
// new stack back onto the old one, clearing the wrong stack at every later
// jump and hiding the thread's real stack from the leak checker.
bool g_switch_pending;
void* g_fake_stack;
const void* g_old_bottom;
size_t g_old_size;

// Ends a switch left under way, on the caller's stack: finishing makes the
// new stack current, so a second, complete switch comes back.
void sanitizer_settle() {
    if (!g_switch_pending) return;
    __sanitizer_finish_switch_fiber(g_fake_stack, &g_old_bottom, &g_old_size);
    __sanitizer_start_switch_fiber(&g_fake_stack, g_old_bottom, g_old_size);
    __sanitizer_finish_switch_fiber(g_fake_stack, nullptr, nullptr);
    g_switch_pending = false;
}

void sanitizer_begin(const void* base, size_t size) {
    sanitizer_settle();
    __sanitizer_start_switch_fiber(&g_fake_stack, base, size);
    g_switch_pending = true;
}
#else
void sanitizer_settle() {}
void sanitizer_begin(const void*, size_t) {}
#endif

} // namespace

KV_FRAME_WITHOUT_SHADOW int call_on_stack(void* base, size_t size, int (*fn)(void*), void* ctx) {
    sanitizer_begin(base, size);
    int result = kv_stack_switch_call(static_cast<char*>(base) + size, fn, ctx);
    sanitizer_settle();
    return result;
}

} // namespace kv
