// Queued writes through Block I/O 2: each slot has page-aligned pages that
// the controller reads in place, and a token whose event the driver
// signals when the write is done.
#include "platform/disks.h"
#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/status.h"

namespace kv {

namespace {

constexpr uint64_t kPageSize = 4096;
constexpr int kMaxSlots = 8;
// A wait that the firmware refuses (it does above TPL_APPLICATION) polls
// the event this often instead.
constexpr UINTN kPollMicroseconds = 50;

struct Slot {
    EFI_PHYSICAL_ADDRESS address;
    UINTN pages;
    EFI_BLOCK_IO2_TOKEN token;
    bool in_flight;
};

struct Queue {
    const BlockIoDisk* disk;
    int slot_count;
    Slot slots[kMaxSlots];
};

ErrorCode wait_slot(Slot* s) {
    if (!s->in_flight) return ERR_OK;
    UINTN index = 0;
    if (EFI_ERROR(g_bs->WaitForEvent(1, &s->token.Event, &index))) {
        while (g_bs->CheckEvent(s->token.Event) == EFI_NOT_READY)
            g_bs->Stall(kPollMicroseconds);
    }
    s->in_flight = false;
    return status_to_error(s->token.TransactionStatus);
}

void release(Queue* q) {
    for (int i = 0; i < q->slot_count; i++) {
        Slot* s = &q->slots[i];
        wait_slot(s);
        if (s->token.Event) g_bs->CloseEvent(s->token.Event);
        if (s->address) g_bs->FreePages(s->address, s->pages);
    }
    free(q);
}

void* queue_open(void* context, int slots, size_t slot_bytes) {
    const BlockIoDisk* disk = static_cast<const BlockIoDisk*>(context);
    EFI_BLOCK_IO2_PROTOCOL* io2 = disk->block_io2;
    // Pages are aligned to 4 KiB, which is all a controller asks of them in
    // practice; one that asks more keeps the path with bounce buffers.
    if (!io2 || !io2->Media || io2->Media->IoAlign > kPageSize || slots < 1 || slots > kMaxSlots)
        return nullptr;
    Queue* q = static_cast<Queue*>(xcalloc(1, sizeof(Queue)));
    q->disk = disk;
    q->slot_count = slots;
    for (int i = 0; i < slots; i++) {
        Slot* s = &q->slots[i];
        s->pages = (slot_bytes + kPageSize - 1) / kPageSize;
        if (EFI_ERROR(
                g_bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, s->pages, &s->address)))
            s->address = 0;
        if (!s->address ||
            EFI_ERROR(g_bs->CreateEvent(0, TPL_APPLICATION, nullptr, nullptr, &s->token.Event))) {
            s->token.Event = nullptr;
            release(q);
            return nullptr;
        }
    }
    return q;
}

uint8_t* queue_buffer(void* queue, int slot) {
    Queue* q = static_cast<Queue*>(queue);
    return reinterpret_cast<uint8_t*>(uintptr_t(q->slots[slot].address));
}

ErrorCode queue_start(void* queue, int slot, uint64_t first_block, uint64_t block_count) {
    Queue* q = static_cast<Queue*>(queue);
    Slot* s = &q->slots[slot];
    EFI_BLOCK_IO2_PROTOCOL* io2 = q->disk->block_io2;
    uint64_t block_size = io2->Media->BlockSize;
    if (block_size == 0 || block_count > s->pages * kPageSize / block_size)
        return ERR_INVALID_PARAMETER;
    s->token.TransactionStatus = EFI_SUCCESS;
    EFI_STATUS status =
        io2->WriteBlocksEx(io2, q->disk->media_id, first_block, &s->token,
                           UINTN(block_count * block_size), queue_buffer(queue, slot));
    if (EFI_ERROR(status)) return status_to_error(status);
    s->in_flight = true;
    return ERR_OK;
}

ErrorCode queue_wait(void* queue, int slot) {
    Queue* q = static_cast<Queue*>(queue);
    return wait_slot(&q->slots[slot]);
}

// Block I/O's own flush, which every driver offers and which blocks; the
// writes it covers have all been waited for.
ErrorCode queue_flush(void* queue) {
    EFI_BLOCK_IO_PROTOCOL* block_io = static_cast<Queue*>(queue)->disk->block_io;
    return status_to_error(block_io->FlushBlocks(block_io));
}

void queue_close(void* queue) {
    release(static_cast<Queue*>(queue));
}

} // namespace

const WriteQueueOps kBlockIo2Queue = {queue_open, queue_buffer, queue_start,
                                      queue_wait, queue_flush,  queue_close};

} // namespace kv
