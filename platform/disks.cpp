#include "platform/disks.h"

#include "platform/device_path.h"
#include "platform/format.h"
#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/sort.h"
#include "platform/strings.h"

namespace kv {

namespace {

constexpr uint32_t kMinBlockSize = 512;

struct KindNeedle {
    const char* needle;
    const char* label;
};

// Order matters: a path names its controller before the device behind it,
// so the more specific buses come first.
const KindNeedle kKinds[] = {
    {"NVMe(", "NVMe"},   {"Sata(", "SATA"}, {"USB(", "USB"}, {"UsbClass(", "USB"},
    {"UsbWwid(", "USB"}, {"Scsi(", "SCSI"}, {"Ata(", "ATA"}, {"SD(", "SD"},
    {"eMMC(", "eMMC"},   {"UFS(", "UFS"},   {"Sas(", "SAS"}, {"iSCSI(", "iSCSI"},
};

Disk* g_disks;
BlockIoDisk* g_media; // the contexts of g_disks, one each
int g_disk_count;

struct Candidate {
    EFI_HANDLE handle;
    char* text;
};

int compare_candidates(const void* a, const void* b) {
    return strcmp(static_cast<const Candidate*>(a)->text, static_cast<const Candidate*>(b)->text);
}

bool contains(const char* text, const char* needle) {
    size_t n = strlen(needle);
    for (const char* p = text; *p; p++)
        if (memcmp(p, needle, n) == 0) return true;
    return false;
}

void copy_label(char* out, size_t size, const char* text) {
    size_t n = strlen(text);
    if (n >= size) n = size - 1;
    memcpy(out, text, n);
    out[n] = 0;
}

// The text of the device the program was loaded from, or null when the
// loaded image names none with a device path.
char* boot_path() {
    if (!g_loaded_image || !g_loaded_image->DeviceHandle) return nullptr;
    EFI_GUID path_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    EFI_DEVICE_PATH_PROTOCOL* path = nullptr;
    if (EFI_ERROR(g_bs->HandleProtocol(g_loaded_image->DeviceHandle, &path_guid, (VOID**)&path)) ||
        !path)
        return nullptr;
    return device_path_to_text(path);
}

// The usable medium behind a handle, or null for anything that is not a
// whole disk the editor can work on.
EFI_BLOCK_IO_PROTOCOL* whole_disk(EFI_HANDLE handle) {
    EFI_GUID block_io_guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    EFI_BLOCK_IO_PROTOCOL* block_io = nullptr;
    if (EFI_ERROR(g_bs->HandleProtocol(handle, &block_io_guid, (VOID**)&block_io)) || !block_io)
        return nullptr;
    const EFI_BLOCK_IO_MEDIA* media = block_io->Media;
    if (!media || media->LogicalPartition || !media->MediaPresent) return nullptr;
    if (media->BlockSize < kMinBlockSize) return nullptr;
    return block_io;
}

// EDK2's ATA bus driver offers Block I/O 2 but runs one request at a time,
// started and completed from timer callbacks: on OVMF a queued wipe of an
// AHCI disk ran at 0.2 to 0.5 of the rate of one blocking write after the
// other, so such disks keep the blocking path.
bool on_ata_bus(const char* kind_label) {
    return strcmp(kind_label, "SATA") == 0 || strcmp(kind_label, "ATA") == 0;
}

// The handle's Block I/O 2, when it has one for the same medium.
EFI_BLOCK_IO2_PROTOCOL* queued_io(EFI_HANDLE handle, const EFI_BLOCK_IO_MEDIA* media) {
    EFI_GUID guid = EFI_BLOCK_IO2_PROTOCOL_GUID;
    EFI_BLOCK_IO2_PROTOCOL* io2 = nullptr;
    if (EFI_ERROR(g_bs->HandleProtocol(handle, &guid, (VOID**)&io2)) || !io2 || !io2->Media)
        return nullptr;
    bool same = io2->Media->MediaId == media->MediaId &&
                io2->Media->BlockSize == media->BlockSize &&
                io2->Media->LastBlock == media->LastBlock;
    return same ? io2 : nullptr;
}

void fill_disk(Disk* disk, BlockIoDisk* context, size_t index, char* text, const char* boot,
               EFI_HANDLE handle, EFI_BLOCK_IO_PROTOCOL* block_io) {
    const EFI_BLOCK_IO_MEDIA* media = block_io->Media;
    context->block_io = block_io;
    context->block_io2 = queued_io(handle, media);
    context->media_id = media->MediaId;
    *disk = Disk{};
    format(disk->name, sizeof disk->name, "blk%u", (unsigned)index);
    copy_label(disk->kind_label, sizeof disk->kind_label, device_kind_label(text));
    disk->device_path = text;
    disk->size_bytes = (media->LastBlock + 1) * media->BlockSize;
    disk->read_only = media->ReadOnly != 0;
    disk->started_here = started_from(boot, text);
    disk->access.read = block_io_read;
    disk->access.write = disk->read_only || disk->started_here ? nullptr : block_io_write;
    disk->access.random = random_bytes;
    disk->access.context = context;
    disk->access.block_size = media->BlockSize;
    disk->access.block_count = media->LastBlock + 1;
    if (disk->access.write)
        disk->access.queue =
            context->block_io2 && !on_ata_bus(disk->kind_label) ? &kBlockIo2Queue : &kBlockIoQueue;
}

} // namespace

const char* device_kind_label(const char* path_text) {
    for (const KindNeedle& kind : kKinds)
        if (contains(path_text, kind.needle)) return kind.label;
    return "disk";
}

bool started_from(const char* boot, const char* device) {
    if (!boot) return false;
    size_t n = strlen(device);
    if (strlen(boot) < n || memcmp(boot, device, n) != 0) return false;
    return boot[n] == '/' || boot[n] == 0;
}

void release_disks() {
    for (int i = 0; i < g_disk_count; i++)
        free(g_disks[i].device_path);
    free(g_disks);
    free(g_media);
    g_disks = nullptr;
    g_media = nullptr;
    g_disk_count = 0;
}

int discover_disks(Disk** list) {
    release_disks();
    *list = nullptr;

    char* boot = boot_path();
    EFI_GUID block_io_guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    UINTN handle_count = 0;
    EFI_HANDLE* handles = nullptr;
    if (EFI_ERROR(g_bs->LocateHandleBuffer(ByProtocol, &block_io_guid, nullptr, &handle_count,
                                           &handles)) ||
        !handles || handle_count == 0) {
        if (handles) g_bs->FreePool(handles);
        free(boot);
        return 0;
    }

    Candidate* candidates = (Candidate*)xcalloc(handle_count, sizeof(Candidate));
    for (UINTN i = 0; i < handle_count; i++) {
        candidates[i].handle = handles[i];
        candidates[i].text = device_path_text(handles[i]);
    }
    g_bs->FreePool(handles);
    sort(candidates, handle_count, sizeof(Candidate), compare_candidates);

    g_disks = (Disk*)xcalloc(handle_count, sizeof(Disk));
    g_media = (BlockIoDisk*)xcalloc(handle_count, sizeof(BlockIoDisk));
    for (UINTN i = 0; i < handle_count; i++) {
        EFI_BLOCK_IO_PROTOCOL* block_io = whole_disk(candidates[i].handle);
        if (!block_io) continue;
        // The disk takes over the text; what is left below are the skipped ones.
        fill_disk(&g_disks[g_disk_count], &g_media[g_disk_count], i, candidates[i].text, boot,
                  candidates[i].handle, block_io);
        g_disk_count++;
        candidates[i].text = nullptr;
    }

    for (UINTN i = 0; i < handle_count; i++)
        free(candidates[i].text);
    free(candidates);
    free(boot);
    if (g_disk_count == 0) {
        free(g_disks);
        free(g_media);
        g_disks = nullptr;
        g_media = nullptr;
    }
    *list = g_disks;
    return g_disk_count;
}

} // namespace kv
