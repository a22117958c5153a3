// Block I/O devices over SimDisk images: whole disks on a simulated bus and
// the partition children firmware's partition driver would add under them.
// A child reads and writes its parent's backing at its own offset and sees
// the parent's medium: removing or changing the medium reaches both.
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sim/disks.h"
#include "sim/firmware.h"
#include "sim/internal.h"
#include "sim/partition_scan.h"

namespace sim {
namespace {

using detail::Fault;

const EFI_GUID kBlockIoGuid = EFI_BLOCK_IO_PROTOCOL_GUID;
const EFI_GUID kBlockIo2Guid = EFI_BLOCK_IO2_PROTOCOL_GUID;
const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

struct Device {
    EFI_BLOCK_IO_PROTOCOL protocol{};
    EFI_BLOCK_IO2_PROTOCOL protocol2{}; // published only with has_io2
    bool has_io2 = false;
    uint64_t io2_latency = 0;
    EFI_BLOCK_IO_MEDIA media{};
    PathBytes path; // empty: the handle carries no device path
    EFI_HANDLE handle = nullptr;
    bool installed = false;
    Device* parent = nullptr;         // partitions only
    uint64_t offset = 0;              // first block in the parent
    std::unique_ptr<SimDisk> backing; // whole disks only
    std::vector<Device*> children;
    Fault read_fault, write_fault, flush_fault;
    std::vector<uint64_t> bad_blocks; // reads that touch one of them fail
    BlockIoLog log;
};

// A Block I/O 2 request in flight: it reads (or fills) the program's
// buffer only when it completes, as a controller's DMA would.
struct Request {
    Device* device;
    bool write;
    EFI_LBA lba;
    uint64_t blocks;
    void* buffer;
    EFI_BLOCK_IO2_TOKEN* token;
    EFI_STATUS fault; // an armed fault that hit it, or EFI_SUCCESS
};

struct StorageState {
    // Devices live until reset, also after their handles are gone, so that a
    // stale pointer the program kept never points at freed memory.
    std::vector<std::unique_ptr<Device>> devices;
    std::deque<Request> requests;
    std::unordered_map<const EFI_BLOCK_IO_PROTOCOL*, Device*> by_protocol;
    std::unordered_map<const EFI_BLOCK_IO2_PROTOCOL*, Device*> by_protocol2;
    std::unordered_map<EFI_HANDLE, Device*> by_handle;
};

StorageState g_storage;

Device* device_of(EFI_BLOCK_IO_PROTOCOL* protocol) {
    auto it = g_storage.by_protocol.find(protocol);
    return it == g_storage.by_protocol.end() ? nullptr : it->second;
}

Device* device_at(EFI_HANDLE handle) {
    auto it = g_storage.by_handle.find(handle);
    return it == g_storage.by_handle.end() ? nullptr : it->second;
}

SimDisk* backing_of(Device* d) {
    return d->parent ? d->parent->backing.get() : d->backing.get();
}

// The checks every driver makes before it touches the medium. Sets
// *blocks; success with *blocks 0 means there is nothing to transfer.
EFI_STATUS check_request(Device* d, UINT32 media_id, EFI_LBA lba, UINTN size, const void* buffer,
                         bool write, uint64_t* blocks) {
    const EFI_BLOCK_IO_MEDIA& m = d->media;
    *blocks = 0;
    if (!m.MediaPresent) return EFI_NO_MEDIA;
    if (media_id != m.MediaId) return EFI_MEDIA_CHANGED;
    if (write && m.ReadOnly) return EFI_WRITE_PROTECTED;
    if (size == 0) return EFI_SUCCESS;
    if (!buffer) return EFI_INVALID_PARAMETER;
    if (m.BlockSize == 0 || size % m.BlockSize != 0) return EFI_BAD_BUFFER_SIZE;
    uint64_t n = size / m.BlockSize;
    if (lba > m.LastBlock || n - 1 > m.LastBlock - lba) return EFI_INVALID_PARAMETER;
    if (m.IoAlign > 1 && reinterpret_cast<uintptr_t>(buffer) % m.IoAlign != 0)
        return EFI_INVALID_PARAMETER;
    *blocks = n;
    return EFI_SUCCESS;
}

EFI_STATUS transfer(Device* d, EFI_LBA lba, uint64_t blocks, void* buffer, bool write) {
    SimDisk* backing = backing_of(d);
    if (!backing) return EFI_DEVICE_ERROR;
    kv::BlockDevice* dev = backing->device();
    uint64_t first = d->offset + lba;
    kv::ErrorCode code;
    if (write) {
        if (!dev->write) return EFI_WRITE_PROTECTED;
        code = dev->write(dev->context, first, blocks, buffer);
    } else {
        code = dev->read(dev->context, first, blocks, buffer);
    }
    if (code == kv::ERR_OK) return EFI_SUCCESS;
    return code == kv::ERR_WRITE_PROTECTED ? EFI_WRITE_PROTECTED : EFI_DEVICE_ERROR;
}

bool touches_bad_block(const Device* d, EFI_LBA lba, uint64_t blocks) {
    for (uint64_t bad : d->bad_blocks)
        if (bad >= lba && bad - lba < blocks) return true;
    return false;
}

EFI_STATUS access(EFI_BLOCK_IO_PROTOCOL* self, UINT32 media_id, EFI_LBA lba, UINTN size,
                  VOID* buffer, bool write) {
    Device* d = device_of(self);
    if (!d) return EFI_INVALID_PARAMETER;
    BlockIoLog& log = d->log;
    (write ? log.writes : log.reads)++;
    log.last_buffer = reinterpret_cast<uintptr_t>(buffer);
    uint64_t blocks = 0;
    EFI_STATUS status = check_request(d, media_id, lba, size, buffer, write, &blocks);
    if (!EFI_ERROR(status) && !write && touches_bad_block(d, lba, blocks))
        status = EFI_DEVICE_ERROR;
    if (!EFI_ERROR(status) && blocks > 0 &&
        !(write ? d->write_fault : d->read_fault).fires(&status))
        status = transfer(d, lba, blocks, buffer, write);
    if (!EFI_ERROR(status)) (write ? log.blocks_written : log.blocks_read) += blocks;
    char op = write ? 'W' : 'R';
    log.ops += EFI_ERROR(status) ? char(op - 'A' + 'a') : op;
    return status;
}

EFI_STATUS EFIAPI read_blocks(EFI_BLOCK_IO_PROTOCOL* self, UINT32 media_id, EFI_LBA lba, UINTN size,
                              VOID* buffer) {
    return access(self, media_id, lba, size, buffer, false);
}

EFI_STATUS EFIAPI write_blocks(EFI_BLOCK_IO_PROTOCOL* self, UINT32 media_id, EFI_LBA lba,
                               UINTN size, VOID* buffer) {
    return access(self, media_id, lba, size, buffer, true);
}

EFI_STATUS EFIAPI flush_blocks(EFI_BLOCK_IO_PROTOCOL* self) {
    Device* d = device_of(self);
    if (!d) return EFI_INVALID_PARAMETER;
    d->log.flushes++;
    EFI_STATUS status = EFI_SUCCESS;
    if (!d->media.MediaPresent)
        status = EFI_NO_MEDIA;
    else
        d->flush_fault.fires(&status);
    d->log.ops += EFI_ERROR(status) ? 'f' : 'F';
    return status;
}

EFI_STATUS EFIAPI reset_device(EFI_BLOCK_IO_PROTOCOL* self, BOOLEAN) {
    return device_of(self) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

Device* device_of2(EFI_BLOCK_IO2_PROTOCOL* protocol) {
    auto it = g_storage.by_protocol2.find(protocol);
    return it == g_storage.by_protocol2.end() ? nullptr : it->second;
}

EFI_BOOT_SERVICES* bs() {
    return system_table()->BootServices;
}

void EFIAPI complete_request(EFI_EVENT timer, VOID* context) {
    Request* r = static_cast<Request*>(context);
    Device* d = r->device;
    BlockIoLog& log = d->log;
    EFI_STATUS status = r->fault;
    if (!EFI_ERROR(status)) {
        if (!d->media.MediaPresent) {
            status = EFI_NO_MEDIA;
        } else if (!detail::memory_held(r->buffer, r->blocks * d->media.BlockSize)) {
            // The program gave the buffer back before the request ended.
            log.stale_buffers++;
            status = EFI_DEVICE_ERROR;
        } else {
            status = transfer(d, r->lba, r->blocks, r->buffer, r->write);
        }
    }
    if (!EFI_ERROR(status)) (r->write ? log.blocks_written : log.blocks_read) += r->blocks;
    char op = r->write ? 'W' : 'R';
    log.ops += EFI_ERROR(status) ? char(op - 'A' + 'a') : op;
    log.in_flight--;
    r->token->TransactionStatus = status;
    bs()->SignalEvent(r->token->Event);
    bs()->CloseEvent(timer);
}

// Without a token, or with one that has no event, the request blocks like
// Block I/O's. A request refused by the checks is refused at once; one that
// an armed fault hits fails when it completes.
EFI_STATUS access_ex(EFI_BLOCK_IO2_PROTOCOL* self, UINT32 media_id, EFI_LBA lba,
                     EFI_BLOCK_IO2_TOKEN* token, UINTN size, VOID* buffer, bool write) {
    Device* d = device_of2(self);
    if (!d) return EFI_INVALID_PARAMETER;
    if (!token || !token->Event) return access(&d->protocol, media_id, lba, size, buffer, write);
    BlockIoLog& log = d->log;
    (write ? log.writes : log.reads)++;
    log.last_buffer = reinterpret_cast<uintptr_t>(buffer);
    uint64_t blocks = 0;
    EFI_STATUS status = check_request(d, media_id, lba, size, buffer, write, &blocks);
    if (EFI_ERROR(status)) {
        log.ops += write ? 'w' : 'r';
        return status;
    }
    Request r{d, write, lba, blocks, buffer, token, EFI_SUCCESS};
    if (blocks > 0) (write ? d->write_fault : d->read_fault).fires(&r.fault);
    if (!EFI_ERROR(r.fault) && !write && touches_bad_block(d, lba, blocks))
        r.fault = EFI_DEVICE_ERROR;
    g_storage.requests.push_back(r);
    EFI_EVENT timer = nullptr;
    bs()->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, complete_request,
                      &g_storage.requests.back(), &timer);
    bs()->SetTimer(timer, TimerRelative, d->io2_latency);
    log.in_flight++;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI read_blocks_ex(EFI_BLOCK_IO2_PROTOCOL* self, UINT32 media_id, EFI_LBA lba,
                                 EFI_BLOCK_IO2_TOKEN* token, UINTN size, VOID* buffer) {
    return access_ex(self, media_id, lba, token, size, buffer, false);
}

EFI_STATUS EFIAPI write_blocks_ex(EFI_BLOCK_IO2_PROTOCOL* self, UINT32 media_id, EFI_LBA lba,
                                  EFI_BLOCK_IO2_TOKEN* token, UINTN size, VOID* buffer) {
    return access_ex(self, media_id, lba, token, size, buffer, true);
}

// Completes at once: writes already ended are on the medium, as with
// Block I/O's flush.
EFI_STATUS EFIAPI flush_blocks_ex(EFI_BLOCK_IO2_PROTOCOL* self, EFI_BLOCK_IO2_TOKEN* token) {
    Device* d = device_of2(self);
    if (!d) return EFI_INVALID_PARAMETER;
    EFI_STATUS status = flush_blocks(&d->protocol);
    if (token && token->Event) {
        token->TransactionStatus = status;
        bs()->SignalEvent(token->Event);
        return EFI_SUCCESS;
    }
    return status;
}

EFI_STATUS EFIAPI reset_device_ex(EFI_BLOCK_IO2_PROTOCOL* self, BOOLEAN) {
    return device_of2(self) ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

Device* new_device() {
    g_storage.devices.push_back(std::make_unique<Device>());
    Device* d = g_storage.devices.back().get();
    d->protocol.Revision = EFI_BLOCK_IO_PROTOCOL_REVISION3;
    d->protocol.Media = &d->media;
    d->protocol.Reset = reset_device;
    d->protocol.ReadBlocks = read_blocks;
    d->protocol.WriteBlocks = write_blocks;
    d->protocol.FlushBlocks = flush_blocks;
    d->protocol2.Media = &d->media;
    d->protocol2.Reset = reset_device_ex;
    d->protocol2.ReadBlocksEx = read_blocks_ex;
    d->protocol2.WriteBlocksEx = write_blocks_ex;
    d->protocol2.FlushBlocksEx = flush_blocks_ex;
    d->media.LogicalBlocksPerPhysicalBlock = 1;
    g_storage.by_protocol[&d->protocol] = d;
    g_storage.by_protocol2[&d->protocol2] = d;
    return d;
}

void publish(Device* d) {
    EFI_HANDLE handle = nullptr;
    install_protocol(&handle, kBlockIoGuid, &d->protocol);
    if (d->has_io2) install_protocol(&handle, kBlockIo2Guid, &d->protocol2);
    if (!d->path.empty()) install_protocol(&handle, kDevicePathGuid, d->path.data());
    d->handle = handle;
    d->installed = true;
    g_storage.by_handle[handle] = d;
}

void withdraw(Device* d) {
    if (!d->installed) return;
    if (!d->path.empty()) uninstall_protocol(d->handle, kDevicePathGuid);
    if (d->has_io2) uninstall_protocol(d->handle, kBlockIo2Guid);
    uninstall_protocol(d->handle, kBlockIoGuid);
    g_storage.by_handle.erase(d->handle);
    d->installed = false;
}

PathBytes bus_path(const BlockDiskConfig& c) {
    struct Slot {
        uint8_t device, function;
    };
    static const Slot kSlots[] = {{0x2, 0x0}, {0x1F, 0x2}, {0x5, 0x0}, {0x7, 0x0},
                                  {0x8, 0x0}, {0x1, 0x1},  {0x9, 0x0}, {0xA, 0x0}};
    Slot slot = kSlots[int(c.bus)];
    uint8_t device = c.pci_device >= 0 ? uint8_t(c.pci_device) : slot.device;
    uint8_t function = c.pci_function >= 0 ? uint8_t(c.pci_function) : slot.function;
    PathBytes root = dp::pci_root(0), pci = dp::pci(device, function);
    switch (c.bus) {
    case Bus::Virtio:
        return dp::path({root, pci});
    case Bus::Sata:
        return dp::path({root, pci, dp::sata(c.port, 0xFFFF, c.lun)});
    case Bus::Nvme:
        return dp::path({root, pci, dp::nvme(c.nvme_namespace, c.nvme_eui)});
    case Bus::Usb:
        return dp::path({root, pci, dp::usb(uint8_t(c.port), uint8_t(c.lun))});
    case Bus::Scsi:
        return dp::path({root, pci, dp::scsi(c.port, c.lun)});
    case Bus::Ata:
        return dp::path({root, pci, dp::ata(c.port & 2, c.port & 1, c.lun)});
    case Bus::Sd:
        return dp::path({root, pci, dp::sd(uint8_t(c.port))});
    case Bus::Emmc:
        return dp::path({root, pci, dp::emmc(uint8_t(c.port))});
    }
    return dp::path({root, pci});
}

void add_children(Device* disk) {
    SimDisk* backing = disk->backing.get();
    if (!backing) return;
    std::vector<FoundPartition> found = scan_partitions(*backing);
    backing->reset_stats();
    PathBytes prefix = disk->path.empty() ? PathBytes{} : dp::without_end(disk->path);
    PathBytes extended_prefix; // logicals go on from their extended partition's path
    for (const FoundPartition& p : found) {
        Device* child = new_device();
        child->parent = disk;
        child->offset = p.start;
        child->media = disk->media;
        child->media.LogicalPartition = TRUE;
        child->media.LastBlock = p.size - 1;
        child->media.LowestAlignedLba = 0;
        if (!disk->path.empty()) {
            PathBytes hd = p.gpt ? dp::hard_drive_gpt(p.number, p.start, p.size, p.unique_guid)
                                 : dp::hard_drive_mbr(p.number, p.start, p.size, p.mbr_signature);
            child->path = p.logical ? extended_prefix : prefix;
            child->path.insert(child->path.end(), hd.begin(), hd.end());
            if (p.extended) extended_prefix = child->path;
            PathBytes tail = dp::end();
            child->path.insert(child->path.end(), tail.begin(), tail.end());
        }
        publish(child);
        disk->children.push_back(child);
    }
}

Device* whole_disk(EFI_HANDLE handle) {
    Device* d = device_at(handle);
    return d && !d->parent ? d : nullptr;
}

// The disk's medium state is copied to its partitions, which have no
// medium of their own.
void sync_children(Device* disk) {
    for (Device* child : disk->children) {
        child->media.MediaPresent = disk->media.MediaPresent;
        child->media.MediaId = disk->media.MediaId;
        child->media.ReadOnly = disk->media.ReadOnly;
    }
}

Device* add_device(std::unique_ptr<SimDisk> backing, uint32_t block_size, uint64_t block_count,
                   const BlockDiskConfig& config) {
    detail::device_path_text_default();
    Device* d = new_device();
    d->backing = std::move(backing);
    EFI_BLOCK_IO_MEDIA& m = d->media;
    m.MediaId = config.media_id;
    m.RemovableMedia = config.removable;
    m.MediaPresent = config.media_present;
    m.ReadOnly = config.read_only || (d->backing && d->backing->read_only());
    m.BlockSize = block_size;
    m.IoAlign = config.io_align;
    m.LastBlock = block_count > 0 ? block_count - 1 : 0;
    d->has_io2 = config.block_io2;
    d->io2_latency = config.block_io2_latency_100ns;
    if (config.has_device_path) d->path = config.path.empty() ? bus_path(config) : config.path;
    publish(d);
    if (config.partitions) add_children(d);
    return d;
}

} // namespace

EFI_HANDLE add_block_disk(std::unique_ptr<SimDisk> backing, const BlockDiskConfig& config) {
    if (!backing) return nullptr;
    uint32_t block_size = backing->block_size();
    uint64_t block_count = backing->block_count();
    return add_device(std::move(backing), block_size, block_count, config)->handle;
}

EFI_HANDLE add_empty_drive(uint32_t block_size, const BlockDiskConfig& config) {
    BlockDiskConfig c = config;
    c.media_present = false;
    c.removable = true;
    c.partitions = false;
    return add_device(nullptr, block_size, 0, c)->handle;
}

SimDisk* block_backing(EFI_HANDLE disk) {
    Device* d = device_at(disk);
    return d ? backing_of(d) : nullptr;
}

EFI_BLOCK_IO_PROTOCOL* block_io_of(EFI_HANDLE handle) {
    Device* d = device_at(handle);
    return d ? &d->protocol : nullptr;
}

EFI_BLOCK_IO_MEDIA* block_media(EFI_HANDLE handle) {
    Device* d = device_at(handle);
    return d ? &d->media : nullptr;
}

std::vector<EFI_HANDLE> partition_handles(EFI_HANDLE disk) {
    std::vector<EFI_HANDLE> out;
    if (Device* d = whole_disk(disk))
        for (Device* child : d->children)
            out.push_back(child->handle);
    return out;
}

void rescan_partitions(EFI_HANDLE disk) {
    Device* d = whole_disk(disk);
    if (!d) return;
    for (Device* child : d->children)
        withdraw(child);
    d->children.clear();
    add_children(d);
    sync_children(d);
}

const BlockIoLog& block_io_log(EFI_HANDLE handle) {
    static const BlockIoLog kNone;
    Device* d = device_at(handle);
    return d ? d->log : kNone;
}

void fail_block_read(EFI_HANDLE handle, uint64_t nth, EFI_STATUS status, bool and_after) {
    if (Device* d = device_at(handle)) d->read_fault = Fault{nth, status, and_after, false};
}

void fail_block_write(EFI_HANDLE handle, uint64_t nth, EFI_STATUS status, bool and_after) {
    if (Device* d = device_at(handle)) d->write_fault = Fault{nth, status, and_after, false};
}

void fail_block_flush(EFI_HANDLE handle, uint64_t nth, EFI_STATUS status, bool and_after) {
    if (Device* d = device_at(handle)) d->flush_fault = Fault{nth, status, and_after, false};
}

void fail_block_reads_at(EFI_HANDLE handle, uint64_t lba) {
    if (Device* d = device_at(handle)) d->bad_blocks.push_back(lba);
}

void set_write_protected(EFI_HANDLE disk, bool protect) {
    if (Device* d = whole_disk(disk)) {
        d->media.ReadOnly = protect;
        sync_children(d);
    }
}

void remove_media(EFI_HANDLE disk) {
    if (Device* d = whole_disk(disk)) {
        d->media.MediaPresent = FALSE;
        sync_children(d);
    }
}

void insert_media(EFI_HANDLE disk) {
    if (Device* d = whole_disk(disk)) {
        d->media.MediaPresent = TRUE;
        d->media.MediaId++;
        sync_children(d);
    }
}

void change_media(EFI_HANDLE disk) {
    if (Device* d = whole_disk(disk)) {
        d->media.MediaId++;
        sync_children(d);
    }
}

namespace detail {

void storage_reset() {
    g_storage.by_handle.clear();
    g_storage.by_protocol.clear();
    g_storage.by_protocol2.clear();
    g_storage.requests.clear();
    g_storage.devices.clear();
    device_path_text_reset();
    rng_reset();
}

} // namespace detail

} // namespace sim
