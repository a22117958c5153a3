// The file-system volumes the firmware offers, named fs0, fs1, ... in the
// order of their device path texts, and paths of the form name:path on them.
#pragma once

#include <stdint.h>

#include "platform/efi.h"
#include "platform/efi_protocols.h"

namespace kv {

struct Volume {
    char name[16];     // "fs%d" of the position in the sorted list
    char* label;       // owned; empty when the firmware gives none
    char* device_path; // owned; empty when the handle has no path
    uint64_t size_bytes;
    uint64_t free_bytes;
    bool read_only;
    bool removable;
    EFI_HANDLE handle;
};

// Rebuilds the list from the firmware. Never fails as a whole: a volume whose
// information cannot be read keeps its name with an empty label, zero sizes
// and both flags false. Names follow the current order, so they can change
// from one scan to the next.
void volume_scan();

// Frees the list; the count becomes 0 and the start volume -1.
void volume_release();

int volume_count();
// Null outside 0 .. count - 1. Valid until the next scan.
const Volume* volume_at(int index);
// The volume the program was loaded from, or -1.
int boot_volume();

// The index of the volume named before the first ':' of `path` (exact
// length, ASCII case ignored), or -1 when there is no ':' or no such volume.
// *rest points after the ':' on success.
int volume_resolve(const char* path, const char** rest);

// Opens `path` on its volume with the firmware's mode and attributes. The
// rest after the ':' goes to the firmware unchanged apart from leading '\'
// being skipped; nothing left opens the volume's root. An unknown volume
// gives EFI_NOT_FOUND; firmware failures are returned as they came.
// *file is null unless the status is a success (or a warning with a file).
EFI_STATUS path_open(const char* path, UINT64 mode, UINT64 attributes, EFI_FILE_PROTOCOL** file);

// GetInfo of `type` into a new heap buffer of `first_size` bytes, grown once
// to the size the firmware asks for when it answers EFI_BUFFER_TOO_SMALL.
// The firmware's sizes are untrusted: a request beyond 64 KiB, or a record
// whose own Size field (its first 8 bytes) is below `min_size` or beyond the
// buffer, counts as a failure. Null on failure;
// otherwise the caller frees the buffer and *size is the record's size.
void* info_read(EFI_FILE_PROTOCOL* file, const EFI_GUID& type, size_t first_size, size_t min_size,
                size_t* size);

} // namespace kv
