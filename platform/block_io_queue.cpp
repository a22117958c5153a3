// Long runs of writes from page-aligned slots that the controller reads in
// place. Through Block I/O 2 each slot has a token whose event the driver
// signals when the write is done; through plain Block I/O each write ends
// before it returns, but still without a copy into a bounce buffer or a
// flush per write.
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

// Pages are aligned to 4 KiB, which is all a controller asks of them in
// practice; one that asks more keeps the path with bounce buffers. Block
// I/O writes from the slots on either queue (the blocking writes), Block
// I/O 2 only on a queue with events.
void* open_slots(const BlockIoDisk* disk, bool events, int slots, size_t slot_bytes) {
    const EFI_BLOCK_IO_MEDIA* media2 = events ? disk->block_io2->Media : nullptr;
    if (disk->block_io->Media->IoAlign > kPageSize || (media2 && media2->IoAlign > kPageSize) ||
        slots < 1 || slots > kMaxSlots)
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
        if (!s->address || (events && EFI_ERROR(g_bs->CreateEvent(0, TPL_APPLICATION, nullptr,
                                                                  nullptr, &s->token.Event)))) {
            s->token.Event = nullptr;
            release(q);
            return nullptr;
        }
    }
    return q;
}

void* queue_open(void* context, int slots, size_t slot_bytes) {
    const BlockIoDisk* disk = static_cast<const BlockIoDisk*>(context);
    if (!disk->block_io2 || !disk->block_io2->Media) return nullptr;
    return open_slots(disk, true, slots, slot_bytes);
}

void* blocking_open(void* context, int slots, size_t slot_bytes) {
    const BlockIoDisk* disk = static_cast<const BlockIoDisk*>(context);
    return open_slots(disk, false, slots, slot_bytes);
}

uint8_t* queue_buffer(void* queue, int slot) {
    Queue* q = static_cast<Queue*>(queue);
    return reinterpret_cast<uint8_t*>(uintptr_t(q->slots[slot].address));
}

bool fits(const Queue* q, int slot, uint64_t block_count) {
    uint64_t block_size = q->disk->block_io->Media->BlockSize;
    return block_size != 0 && block_count <= q->slots[slot].pages * kPageSize / block_size;
}

ErrorCode queue_write(void* queue, int slot, uint64_t first_block, uint64_t block_count) {
    Queue* q = static_cast<Queue*>(queue);
    if (!fits(q, slot, block_count)) return ERR_INVALID_PARAMETER;
    EFI_BLOCK_IO_PROTOCOL* block_io = q->disk->block_io;
    return status_to_error(block_io->WriteBlocks(block_io, q->disk->media_id, first_block,
                                                 UINTN(block_count * block_io->Media->BlockSize),
                                                 queue_buffer(queue, slot)));
}

ErrorCode queue_start(void* queue, int slot, uint64_t first_block, uint64_t block_count) {
    Queue* q = static_cast<Queue*>(queue);
    if (!fits(q, slot, block_count)) return ERR_INVALID_PARAMETER;
    Slot* s = &q->slots[slot];
    uint64_t block_size = q->disk->block_io->Media->BlockSize;
    EFI_BLOCK_IO2_PROTOCOL* io2 = q->disk->block_io2;
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

// Eight chunks in flight: see the wipe. A blocking queue "starts" a write
// by making it, and needs one slot, as each write has ended before the next
// chunk is filled.
const WriteQueueOps kBlockIo2Queue = {queue_open,  queue_buffer, queue_start, queue_wait,
                                      queue_write, queue_flush,  queue_close, 8};
const WriteQueueOps kBlockIoQueue = {blocking_open, queue_buffer, queue_write, queue_wait,
                                     queue_write,   queue_flush,  queue_close, 1};

} // namespace kv
