// Simulated file-system volumes: EFI_SIMPLE_FILE_SYSTEM_PROTOCOL and
// EFI_FILE_PROTOCOL over a host directory, behaving as the firmware's FAT
// driver does where the program can tell the difference.
//
//     sim::VolumeConfig c;
//     c.label = "BACKUPS";
//     c.path = sim::dp::path({sim::dp::pci_root(), sim::dp::pci(0x1D, 0),
//                             sim::dp::usb(1)});
//     EFI_HANDLE v = sim::add_volume(dir, c); // dir: an existing host directory
//
// Names. Only '\' separates path components ('/' is an invalid character,
// EFI_INVALID_PARAMETER); runs of '\' count as one; a leading '\' starts at
// the root, anything else at the directory opened. "." stays, ".." goes up
// (above the root: EFI_INVALID_PARAMETER). Leading blanks and trailing
// blanks and dots of a component are dropped, and the characters
// " * : < > ? | and controls are invalid. Lookup ignores case (ASCII and
// Latin-1 letters); a new file keeps the case it was given. A trailing '\'
// asks for a directory: on a file it gives EFI_NOT_FOUND.
//
// Open modes: READ, READ|WRITE and READ|WRITE|CREATE; anything else, or
// attributes outside EFI_FILE_VALID_ATTR, is EFI_INVALID_PARAMETER. A
// missing file without CREATE, or a missing directory on the way, is
// EFI_NOT_FOUND; WRITE on a read-only volume is EFI_WRITE_PROTECTED, on a
// file with the read-only attribute EFI_ACCESS_DENIED. Directories may be
// opened for writing, as on FAT; Write on them is EFI_UNSUPPORTED.
//
// Files. Read past the end of the file is EFI_DEVICE_ERROR, at the end 0
// bytes. Write extends the file (with zeros across a gap) as long as the
// bytes of all files stay within the volume's capacity, else it writes
// nothing and answers EFI_VOLUME_FULL. SetPosition(0xFFFFFFFFFFFFFFFF) goes
// to the end. Directories: Read returns the next EFI_FILE_INFO ("." and
// ".." first below the root, then the entries by name), 0 bytes at the end;
// SetPosition takes only 0 (start over); GetPosition is EFI_UNSUPPORTED.
//
// Delete removes a file or an empty directory; on anything else (the root,
// a read-only open or volume, a directory with entries) the handle is closed
// all the same and the answer is EFI_WARN_DELETE_FAILURE. Flush has nothing
// to do, as every Write reaches the host at once, but refuses read-only
// opens (EFI_ACCESS_DENIED) and volumes (EFI_WRITE_PROTECTED).
//
// Information. GetInfo gives EFI_FILE_INFO (times are the host file's
// modification time in UTC, all three alike; EFI_FILE_ARCHIVE on files,
// EFI_FILE_DIRECTORY on directories, EFI_FILE_READ_ONLY when the host file
// is not writable) and EFI_FILE_SYSTEM_INFO (the label, capacity, free
// bytes, ReadOnly, cluster size), and answers EFI_BUFFER_TOO_SMALL with the
// size it needs. SetInfo of EFI_FILE_INFO changes the size (truncate or
// extend), the read-only attribute, the modification time and the name
// (within the same directory); of EFI_FILE_SYSTEM_INFO the label.
//
// Faults, short writes and the counts below are per volume.
#pragma once

#include <cstdint>
#include <string>

#include "platform/efi.h"
#include "platform/efi_protocols.h"
#include "sim/device_path.h"

namespace sim {

struct VolumeConfig {
    std::string label;                      // UTF-8; may be longer than FAT allows
    bool read_only = false;                 // also EFI_FILE_SYSTEM_INFO.ReadOnly
    uint64_t capacity_bytes = 256ull << 20; // VolumeSize; files may not exceed it
    uint32_t cluster_size = 4096;           // BlockSize; PhysicalSize rounds to it
    // The volume's device path (a whole path, see dp::path). Empty: one of
    // its own, PciRoot(0x0)/Pci(0x1D,0x0)/USB(n,0)/HD(1,MBR,...) with n the
    // volume's number since the reset.
    PathBytes path;
    bool has_device_path = true;
    // A Block I/O protocol on the volume's handle (a partition's: logical,
    // so that disk discovery passes it by; reads and writes of its blocks
    // are EFI_UNSUPPORTED). Its medium is removable when asked.
    bool block_io = true;
    bool removable = false;
    // When set, the file system goes onto this existing handle (a partition
    // of a simulated disk, say) and path, has_device_path and block_io are
    // ignored: the handle keeps what it has.
    EFI_HANDLE on_handle = nullptr;
    // SetInfo refuses to change a file's size or name (EFI_ACCESS_DENIED),
    // as U-Boot's file system does; Delete and new files still work.
    bool fixed_file_info = false;
};

// Publishes a file system over `host_dir`, which must exist; the sim never
// touches anything outside it. Returns the handle carrying the protocol.
// Like adding a disk, installs the device-path-to-text service unless a test
// switched it off. Volumes, and the files opened on them, live until the
// next reset.
EFI_HANDLE add_volume(const std::string& host_dir, const VolumeConfig& config = {});

// Uninstalls the file system (and the device path and Block I/O it brought)
// as when a medium is taken out. Files still open on it fail from then on
// with EFI_NO_MEDIA, apart from Close.
void remove_volume(EFI_HANDLE volume);

// Write protection switched while files are open: later writes of a file
// opened for writing then fail with EFI_WRITE_PROTECTED.
void set_volume_read_only(EFI_HANDLE volume, bool read_only);

enum class FileOp {
    Any, // counts every operation below
    OpenVolume,
    Open,
    Close,
    Delete,
    Read,
    Write,
    GetPosition,
    SetPosition,
    GetInfo,
    SetInfo,
    Flush,
};

// The nth operation of kind `op` (1 = the next one) on the volume fails with
// `status`, doing nothing: no file is opened, nothing is read or written
// (BufferSize 0), a Close still closes. With `and_after`, every later one
// fails too. One fault per kind; arming a kind again replaces it.
void fail_file_op(EFI_HANDLE volume, FileOp op, uint64_t nth, EFI_STATUS status = EFI_DEVICE_ERROR,
                  bool and_after = false);

// Each Write stores at most `max_bytes` and reports that many (0: Write
// succeeds without storing anything). Real firmware writes all or fails;
// this shows what a caller does with less. -1 (the default) lifts the cap.
void set_write_chunk(EFI_HANDLE volume, int64_t max_bytes);

// Operations of one kind that reached the volume since it was added,
// failed ones included.
uint64_t file_op_count(EFI_HANDLE volume, FileOp op);
// Files (roots included) opened on the volume and not closed yet.
size_t open_file_count(EFI_HANDLE volume);

} // namespace sim
