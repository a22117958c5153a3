// Files on the firmware's volumes, addressed as name:path (fs1:\table.bin).
// Free of firmware declarations so that the backup code can use it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/error.h"

namespace kv {

struct FileHandle; // heap cell around the firmware's file interface

struct FileStat {
    uint64_t size;
    uint64_t attributes;                        // the firmware's attribute bits
    int year, month, day, hour, minute, second; // last modification
    bool is_directory;
};

enum : int {
    OPEN_READ = 0x01,
    OPEN_WRITE = 0x02,
    OPEN_CREATE = 0x04,
    OPEN_TRUNCATE = 0x08,
    OPEN_APPEND = 0x10,
};

// Opens a file; *out is null unless the result is 0. A directory cannot be
// opened for writing or appending (ERR_IS_DIRECTORY). A file whose
// information cannot be read is refused with ERR_IO.
ErrorCode file_open(const char* path, int flags, FileHandle** out);

// Reads up to `size` bytes at the current position; *bytes_read is 0 at the
// end of the file and whenever the result is not 0.
ErrorCode file_read(FileHandle* file, void* buffer, size_t size, size_t* bytes_read);

// Writes all of `bytes` or fails; a firmware that accepts nothing counts as
// an I/O error rather than being asked for ever.
ErrorCode file_write_all(FileHandle* file, const void* bytes, size_t size);

// Closes and releases the handle in every case; the result is the firmware's
// word on the close, which includes writing out what it still held.
ErrorCode file_close(FileHandle* file);

// Removes a file (or an empty directory). A refusal, which the firmware
// reports as a warning, is ERR_ACCESS_DENIED.
ErrorCode file_delete(const char* path);

// Gives the file at `path` the name `new_name` in the same directory (a bare
// name, no volume or directory).
ErrorCode file_rename(const char* path, const char* new_name);

// Size, attributes and modification time of a file or directory. Success
// is proof that the path exists.
ErrorCode file_stat(const char* path, FileStat* out);

} // namespace kv
