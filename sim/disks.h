// Simulated storage: Block I/O disks over sim::SimDisk images (in memory or
// in a file) on the buses a PC has, the partition child handles firmware
// makes for them, injectable device faults, and the RNG protocol.
//
//     auto image = std::make_unique<sim::MemDisk>(512, 65536);
//     kvtest::write_gpt(*image, plan); // lay the table down first
//     sim::BlockDiskConfig c;
//     c.bus = sim::Bus::Nvme;
//     EFI_HANDLE disk = sim::add_block_disk(std::move(image), c);
//     // disk: PciRoot(0x0)/Pci(0x5,0x0)/NVMe(0x1,00-00-00-00-00-00-00-00)
//     // children: .../HD(1,GPT,<unique GUID>,0x800,0x10000), ...
//
// ReadBlocks and WriteBlocks check what real drivers check, in this order:
// media present (EFI_NO_MEDIA), media id (EFI_MEDIA_CHANGED), read-only
// for writes (EFI_WRITE_PROTECTED), a zero size (success, nothing done), a
// null buffer (EFI_INVALID_PARAMETER), a size that is not whole blocks
// (EFI_BAD_BUFFER_SIZE), the range (EFI_INVALID_PARAMETER) and the buffer's
// alignment to IoAlign (EFI_INVALID_PARAMETER). Armed faults come after
// those checks and transfer nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/efi.h"
#include "platform/efi_protocols.h"
#include "sim/device_path.h"
#include "sim/memdisk.h"

namespace sim {

enum class Bus { Virtio, Sata, Nvme, Usb, Scsi, Ata, Sd, Emmc };

struct BlockDiskConfig {
    Bus bus = Bus::Virtio;
    // The controller's PCI device and function; -1 takes the slot QEMU's
    // q35 machine gives it: virtio 0x2.0, SATA 0x1F.2 (the built-in AHCI),
    // NVMe 0x5.0, USB (xHCI) 0x7.0, SCSI 0x8.0, ATA 0x1.1, SD 0x9.0,
    // eMMC 0xA.0.
    int pci_device = -1;
    int pci_function = -1;
    // SATA HBA port, USB parent port, SCSI target, SD or eMMC slot; for ATA
    // 0 primary master, 1 primary slave, 2 secondary master, 3 secondary
    // slave.
    uint16_t port = 0;
    uint16_t lun = 0; // SATA, SCSI and ATA unit; the USB interface number
    uint32_t nvme_namespace = 1;
    uint64_t nvme_eui = 0;
    // When not empty, the device path instead of the bus path (a whole path
    // with its end node, see dp::path).
    PathBytes path;
    bool has_device_path = true;

    bool removable = false;
    bool read_only = false; // also set when the backing is read-only
    bool media_present = true;
    uint32_t io_align = 0;
    uint32_t media_id = 0;
    // Child handles for the partitions of the MBR (primary and logical) or
    // GPT found on the backing at the time the disk is added.
    bool partitions = true;
    // Block I/O 2 beside Block I/O on the disk's handle (not on its
    // partitions), as EDK2's NVMe and ATA drivers give. A request with a
    // token's event is checked at once (a refusal is its result) and
    // completes `block_io2_latency_100ns` later on the virtual clock, from
    // a timer: only then does it read (or fill) the program's buffer, fail
    // by an armed fault, or find the medium gone, and only then are its
    // status set and its event signalled. Waiting for the event lets the
    // clock run on to it. A token without an event blocks as Block I/O.
    bool block_io2 = false;
    uint64_t block_io2_latency_100ns = 10000;
};

// Publishes a disk with Block I/O and its device path; geometry (BlockSize,
// LastBlock) comes from the backing. Returns the disk's handle. The sim
// owns the backing until the next reset. The partition scan reads the
// backing, so arm its own faults only afterwards; its counters are cleared.
// A null backing adds nothing and gives a null handle.
EFI_HANDLE add_block_disk(std::unique_ptr<SimDisk> backing, const BlockDiskConfig& config = {});

// A drive without a medium, as an empty DVD drive: MediaPresent clear,
// LastBlock 0, removable.
EFI_HANDLE add_empty_drive(uint32_t block_size, const BlockDiskConfig& config = {});

// Null for a handle the simulated storage did not make.
SimDisk* block_backing(EFI_HANDLE disk);
EFI_BLOCK_IO_PROTOCOL* block_io_of(EFI_HANDLE handle);
// Tests may change fields (LastBlock, LogicalPartition, ...) directly: they
// change only what the program sees, never the backing's geometry.
EFI_BLOCK_IO_MEDIA* block_media(EFI_HANDLE handle);
// The handles of the disk's partitions in table order.
std::vector<EFI_HANDLE> partition_handles(EFI_HANDLE disk);
// Reads the table again and replaces the partition handles, as firmware
// does after the partition table was written.
void rescan_partitions(EFI_HANDLE disk);

// What reached one handle's Block I/O. `ops` has one letter per call in
// order: R read, W write, F flush; lower case when the call failed.
struct BlockIoLog {
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t flushes = 0;
    uint64_t blocks_read = 0;
    uint64_t blocks_written = 0;
    uintptr_t last_buffer = 0; // the buffer of the last read or write
    std::string ops;
    // Block I/O 2: requests not yet completed (their letter in `ops` comes
    // when they complete), and those that found their buffer given back.
    uint64_t in_flight = 0;
    uint64_t stale_buffers = 0;
};
const BlockIoLog& block_io_log(EFI_HANDLE handle);

// The nth read (write, flush) from now on this handle fails with `status`:
// nth = 1 is the next call; Block I/O 2 requests count as calls and fail
// when they complete. With `and_after`, every later call fails too.
void fail_block_read(EFI_HANDLE handle, uint64_t nth, EFI_STATUS status = EFI_DEVICE_ERROR,
                     bool and_after = false);
void fail_block_write(EFI_HANDLE handle, uint64_t nth, EFI_STATUS status = EFI_DEVICE_ERROR,
                      bool and_after = false);
void fail_block_flush(EFI_HANDLE handle, uint64_t nth, EFI_STATUS status = EFI_DEVICE_ERROR,
                      bool and_after = false);

// Every read on this handle that takes in block `lba` fails with a device
// error, as on a medium with a bad sector there; other reads go through.
void fail_block_reads_at(EFI_HANDLE handle, uint64_t lba);

// Media state of a disk; its partitions follow. Write protection sets
// ReadOnly; removing the medium clears MediaPresent; inserting one (again)
// sets it and gives the medium a new MediaId, as does changing it, so that a
// caller holding the old id gets EFI_MEDIA_CHANGED.
void set_write_protected(EFI_HANDLE disk, bool protect);
void remove_media(EFI_HANDLE disk);
void insert_media(EFI_HANDLE disk);
void change_media(EFI_HANDLE disk);

// Installs the EFI_RNG_PROTOCOL or removes it; absent after reset. GetRNG
// takes the default algorithm (null) or the raw one, and fills the buffer
// from `source` (which may fail with a status) or, without one, from a
// fixed splitmix64 sequence.
void set_rng(bool present, std::function<EFI_STATUS(uint8_t*, size_t)> source = {});
uint64_t rng_calls();

} // namespace sim
