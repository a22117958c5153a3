// Device paths as text, the key by which disks and volumes are named and
// ordered.
#pragma once

#include "platform/efi.h"
#include "platform/efi_protocols.h"

namespace kv {

// The firmware's text of `path` (display-only off, shortcuts allowed) as a
// new UTF-8 string; the empty string when there is no path, no converter or
// the conversion fails. Never null; the caller frees it.
char* device_path_to_text(const EFI_DEVICE_PATH_PROTOCOL* path);

// The text of the device path on `handle`, empty when the handle has none.
// Never null; the caller frees it.
char* device_path_text(EFI_HANDLE handle);

// Whether `path` holds a node of this type and subtype before its end;
// false for no path. A node shorter than its header ends the walk.
bool device_path_has_node(const EFI_DEVICE_PATH_PROTOCOL* path, uint8_t type, uint8_t subtype);

} // namespace kv
