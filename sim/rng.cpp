// The firmware's random-number protocol. Its default bytes are a fixed
// sequence so that a test can tell firmware bytes from the program's own
// fallback generator.
#include <cstring>

#include "sim/disks.h"
#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

const EFI_GUID kRngGuid = EFI_RNG_PROTOCOL_GUID;
// EFI_RNG_ALGORITHM_RAW, the one algorithm offered besides the default.
const EFI_GUID kRawAlgorithm = {
    0xe43176d7, 0xb6e8, 0x4827, {0xb7, 0x84, 0x7f, 0xfd, 0xc4, 0xb6, 0x85, 0x61}};
constexpr uint64_t kDefaultSeed = 0x5EED5EED5EED5EEDull;

struct RngState {
    EFI_HANDLE handle = nullptr;
    std::function<EFI_STATUS(uint8_t*, size_t)> source;
    uint64_t sequence = kDefaultSeed;
    uint64_t calls = 0;
};

RngState g_rng;

EFI_STATUS default_source(uint8_t* out, size_t n) {
    while (n > 0) {
        uint64_t z = (g_rng.sequence += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        size_t take = n < 8 ? n : 8;
        std::memcpy(out, &z, take);
        out += take;
        n -= take;
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_info(EFI_RNG_PROTOCOL*, UINTN* size, EFI_RNG_ALGORITHM* list) {
    if (!size) return EFI_INVALID_PARAMETER;
    if (*size < sizeof(EFI_GUID)) {
        *size = sizeof(EFI_GUID);
        return EFI_BUFFER_TOO_SMALL;
    }
    if (!list) return EFI_INVALID_PARAMETER;
    *list = kRawAlgorithm;
    *size = sizeof(EFI_GUID);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_rng(EFI_RNG_PROTOCOL*, EFI_RNG_ALGORITHM* algorithm, UINTN length,
                          UINT8* value) {
    g_rng.calls++;
    if (length == 0 || !value) return EFI_INVALID_PARAMETER;
    if (algorithm && !efi_guid_equal(*algorithm, kRawAlgorithm)) return EFI_UNSUPPORTED;
    return g_rng.source ? g_rng.source(value, length) : default_source(value, length);
}

EFI_RNG_PROTOCOL g_protocol = {get_info, get_rng};

} // namespace

void set_rng(bool present, std::function<EFI_STATUS(uint8_t*, size_t)> source) {
    g_rng.source = std::move(source);
    if (present && !g_rng.handle) {
        EFI_HANDLE handle = nullptr;
        if (!EFI_ERROR(install_protocol(&handle, kRngGuid, &g_protocol))) g_rng.handle = handle;
    } else if (!present && g_rng.handle) {
        uninstall_protocol(g_rng.handle, kRngGuid);
        g_rng.handle = nullptr;
    }
}

uint64_t rng_calls() {
    return g_rng.calls;
}

namespace detail {

void rng_reset() {
    g_rng = RngState{};
}

} // namespace detail

} // namespace sim
