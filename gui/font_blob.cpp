// Pulls gui/font/korvane.kvf into read-only data with the assembler, so the
// 600 KB of glyphs never pass through the C++ compiler. The build passes the
// file's path (KV_FONT_BLOB_PATH) and its hash, which makes a changed blob a
// changed compile command for the compiler cache.
#include "gui/font_blob.h"

#ifndef KV_FONT_BLOB_PATH
#error "the build must define KV_FONT_BLOB_PATH"
#endif

// COFF has no section stack; the module's own code names its sections again.
#ifdef KORVANE_UEFI
#define KV_FONT_SECTION ".section .rdata,\"dr\"\n"
#define KV_FONT_SECTION_END ".text\n"
#else
#define KV_FONT_SECTION ".pushsection .rodata,\"a\"\n"
#define KV_FONT_SECTION_END ".popsection\n"
#endif

asm(KV_FONT_SECTION ".balign 16\n"
                    ".globl kv_font_blob_start\n"
                    "kv_font_blob_start:\n"
                    ".incbin \"" KV_FONT_BLOB_PATH "\"\n"
                    ".globl kv_font_blob_end\n"
                    "kv_font_blob_end:\n" KV_FONT_SECTION_END);

extern "C" const uint8_t kv_font_blob_start[];
extern "C" const uint8_t kv_font_blob_end[];

namespace kv {

const uint8_t* font_blob() {
    return kv_font_blob_start;
}

size_t font_blob_size() {
    return size_t(kv_font_blob_end - kv_font_blob_start);
}

} // namespace kv
