#include "platform/sort.h"

#include "platform/memory.h"
#include "platform/strings.h"

namespace kv {

namespace {

constexpr size_t kStackElement = 256;

} // namespace

void sort(void* base, size_t count, size_t size, int (*compare)(const void*, const void*)) {
    if (count < 2 || size == 0) return;
    unsigned char local[kStackElement];
    unsigned char* held = local;
    if (size > kStackElement) {
        held = static_cast<unsigned char*>(malloc(size));
        if (!held) return;
    }
    unsigned char* a = static_cast<unsigned char*>(base);
    for (size_t gap = count / 2; gap > 0; gap /= 2) {
        for (size_t i = gap; i < count; i++) {
            memcpy(held, a + i * size, size);
            size_t j = i;
            while (j >= gap && compare(a + (j - gap) * size, held) > 0) {
                memcpy(a + j * size, a + (j - gap) * size, size);
                j -= gap;
            }
            memcpy(a + j * size, held, size);
        }
    }
    if (held != local) free(held);
}

} // namespace kv
