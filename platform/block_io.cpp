#include "platform/disks.h"
#include "platform/globals.h"
#include "platform/status.h"
#include "platform/strings.h"

namespace kv {

namespace {

constexpr uint64_t kPageSize = 4096;

struct Bounce {
    EFI_PHYSICAL_ADDRESS address;
    UINTN pages;
    UINTN bytes;

    void* data() const { return (void*)(uintptr_t)address; }
};

// Sizes the transfer and takes the pages for it. A byte count that does not
// fit the firmware's UINTN is refused as a bad parameter rather than cut.
ErrorCode bounce_take(const EFI_BLOCK_IO_PROTOCOL* block_io, uint64_t block_count, Bounce* out) {
    uint64_t block_size = block_io->Media->BlockSize;
    if (block_size == 0 || block_count > (uint64_t)SIZE_MAX / block_size)
        return ERR_INVALID_PARAMETER;
    out->bytes = (UINTN)(block_count * block_size);
    out->pages = (out->bytes + kPageSize - 1) / kPageSize;
    out->address = 0;
    if (EFI_ERROR(
            g_bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, out->pages, &out->address)))
        return ERR_OUT_OF_MEMORY;
    return ERR_OK;
}

void bounce_give_back(const Bounce& bounce) {
    g_bs->FreePages(bounce.address, bounce.pages);
}

} // namespace

ErrorCode block_io_read(void* context, uint64_t first_block, uint64_t block_count, void* buffer) {
    if (block_count == 0) return ERR_OK;
    const BlockIoDisk* disk = static_cast<const BlockIoDisk*>(context);
    EFI_BLOCK_IO_PROTOCOL* block_io = disk->block_io;
    Bounce bounce;
    ErrorCode taken = bounce_take(block_io, block_count, &bounce);
    if (taken != ERR_OK) return taken;
    EFI_STATUS status =
        block_io->ReadBlocks(block_io, disk->media_id, first_block, bounce.bytes, bounce.data());
    if (!EFI_ERROR(status)) memcpy(buffer, bounce.data(), bounce.bytes);
    bounce_give_back(bounce);
    return status_to_error(status);
}

// A write whose flush fails is reported as failed: the blocks may still sit
// in a cache that a power cut would lose.
ErrorCode block_io_write(void* context, uint64_t first_block, uint64_t block_count,
                         const void* buffer) {
    if (block_count == 0) return ERR_OK;
    const BlockIoDisk* disk = static_cast<const BlockIoDisk*>(context);
    EFI_BLOCK_IO_PROTOCOL* block_io = disk->block_io;
    Bounce bounce;
    ErrorCode taken = bounce_take(block_io, block_count, &bounce);
    if (taken != ERR_OK) return taken;
    memcpy(bounce.data(), buffer, bounce.bytes);
    EFI_STATUS status =
        block_io->WriteBlocks(block_io, disk->media_id, first_block, bounce.bytes, bounce.data());
    if (!EFI_ERROR(status)) status = block_io->FlushBlocks(block_io);
    bounce_give_back(bounce);
    return status_to_error(status);
}

} // namespace kv
