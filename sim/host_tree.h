// The host side of the simulated file-system volumes (sim/files.h): a host
// directory tree seen as the firmware's FAT driver presents it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/efi.h"

namespace sim::host_tree {

namespace fs = std::filesystem;

// Host names are UTF-8, firmware names UTF-16.
std::u16string utf8_to_utf16(const std::string& s);

// Names compare ignoring the case of ASCII and Latin-1 letters.
bool same_name(const std::u16string& a, const std::u16string& b);
// The directory's entries, sorted by host name.
std::vector<std::string> host_entries(const fs::path& dir);
// The host name of the entry that `name` matches, or empty.
std::string find_entry(const fs::path& dir, const std::u16string& name);
// Bytes of all regular files below `root`.
uint64_t tree_bytes(const fs::path& root);

// The read-only attribute is the host's write permission.
bool host_read_only(const fs::path& p);
void set_host_read_only(const fs::path& p, bool read_only);
// Modification time in UTC.
EFI_TIME efi_time(const fs::path& p);
void set_host_time(const fs::path& p, const EFI_TIME& t);

// A path component as the FAT driver takes it: leading blanks and trailing
// blanks and dots go, and the rest must hold only valid characters.
bool clean_name(const std::u16string& in, std::u16string* out);
// The components between runs of '\'.
std::vector<std::u16string> components(const std::u16string& path);

} // namespace sim::host_tree
