#include "platform/files.h"

#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "platform/strings.h"
#include "platform/utf.h"
#include "platform/volumes.h"

namespace kv {

struct FileHandle {
    EFI_FILE_PROTOCOL* file;
};

namespace {

constexpr size_t kFileInfoFirstSize = 336;
constexpr UINT64 kEndOfFile = 0xFFFFFFFFFFFFFFFFull;

EFI_FILE_INFO* read_file_info(EFI_FILE_PROTOCOL* file) {
    EFI_GUID file_info_guid = EFI_FILE_INFO_ID;
    size_t size = 0;
    return static_cast<EFI_FILE_INFO*>(
        info_read(file, file_info_guid, kFileInfoFirstSize, EFI_FILE_INFO_NAME_OFFSET, &size));
}

ErrorCode close_with(EFI_FILE_PROTOCOL* file, EFI_FILE_INFO* info, ErrorCode result) {
    free(info);
    file->Close(file);
    return result;
}

ErrorCode wrap(EFI_FILE_PROTOCOL* file, FileHandle** out) {
    FileHandle* handle = static_cast<FileHandle*>(xmalloc(sizeof(FileHandle)));
    handle->file = file;
    *out = handle;
    return ERR_OK;
}

// Deletes the open file (which closes it) and creates it again, empty. A
// refused delete gives the refused truncation's error.
ErrorCode recreate(const char* path, UINT64 mode, EFI_FILE_PROTOCOL* file, EFI_STATUS refused,
                   FileHandle** out) {
    if (file->Delete(file) != EFI_SUCCESS) return status_to_error(refused);
    EFI_STATUS status = path_open(path, mode, 0, &file);
    if (EFI_ERROR(status)) return status_to_error(status);
    if (!file) return ERR_IO;
    return wrap(file, out);
}

} // namespace

// A file whose information cannot be read right after opening is refused
// with ERR_IO: without it a directory would slip past the write check and a
// truncating open would leave old bytes behind the new ones, and a backup
// tool must not report success over either.
ErrorCode file_open(const char* path, int flags, FileHandle** out) {
    *out = nullptr;
    bool writing = (flags & (OPEN_WRITE | OPEN_APPEND)) != 0;
    UINT64 mode = writing ? EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE : EFI_FILE_MODE_READ;
    if (flags & OPEN_CREATE) mode |= EFI_FILE_MODE_CREATE;
    EFI_FILE_PROTOCOL* file = nullptr;
    EFI_STATUS status = path_open(path, mode, 0, &file);
    if (EFI_ERROR(status)) return status_to_error(status);
    if (!file) return ERR_IO;

    EFI_FILE_INFO* info = read_file_info(file);
    if (!info) return close_with(file, nullptr, ERR_IO);
    bool directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
    if (directory && writing) return close_with(file, info, ERR_IS_DIRECTORY);

    if ((flags & OPEN_TRUNCATE) && info->FileSize != 0) {
        EFI_GUID file_info_guid = EFI_FILE_INFO_ID;
        info->FileSize = 0;
        status = file->SetInfo(file, &file_info_guid, info->Size, info);
        if (EFI_ERROR(status)) {
            free(info);
            // Some firmware (U-Boot's) never changes a file's size through
            // SetInfo; a file that may be created can be made anew instead.
            bool refused = status == EFI_ACCESS_DENIED || status == EFI_UNSUPPORTED;
            if (!refused || !(flags & OPEN_CREATE))
                return close_with(file, nullptr, status_to_error(status));
            return recreate(path, mode, file, status, out);
        }
    }
    free(info);

    // Appending from the start would overwrite what the file holds, so a
    // failed move to the end fails the open.
    if ((flags & OPEN_APPEND) && !directory) {
        status = file->SetPosition(file, kEndOfFile);
        if (EFI_ERROR(status)) return close_with(file, nullptr, status_to_error(status));
    }

    return wrap(file, out);
}

ErrorCode file_read(FileHandle* file, void* buffer, size_t size, size_t* bytes_read) {
    *bytes_read = 0;
    if (!file) return ERR_INVALID_PARAMETER;
    UINTN n = size;
    EFI_STATUS status = file->file->Read(file->file, &n, buffer);
    ErrorCode result = status_to_error(status);
    if (result != ERR_OK) return result;
    // More than was asked for would already have overrun the buffer; it
    // must at least not be passed on.
    if (n > size) return ERR_IO;
    *bytes_read = n;
    return ERR_OK;
}

// Warnings fail too: a backup is either written or reported as not written.
ErrorCode file_write_all(FileHandle* file, const void* bytes, size_t size) {
    if (size == 0) return ERR_OK;
    if (!file) return ERR_INVALID_PARAMETER;
    const uint8_t* at = static_cast<const uint8_t*>(bytes);
    size_t left = size;
    while (left > 0) {
        UINTN n = left;
        EFI_STATUS status = file->file->Write(file->file, &n, const_cast<uint8_t*>(at));
        ErrorCode result = status_to_error(status);
        if (result != ERR_OK) return result;
        if (n == 0 || n > left) return ERR_IO;
        at += n;
        left -= n;
    }
    return ERR_OK;
}

ErrorCode file_close(FileHandle* file) {
    if (!file) return ERR_OK;
    EFI_STATUS status = file->file->Close(file->file);
    free(file);
    return status_to_error(status);
}

ErrorCode file_stat(const char* path, FileStat* out) {
    *out = FileStat{};
    EFI_FILE_PROTOCOL* file = nullptr;
    EFI_STATUS status = path_open(path, EFI_FILE_MODE_READ, 0, &file);
    if (EFI_ERROR(status)) return status_to_error(status);
    if (!file) return ERR_IO;
    EFI_FILE_INFO* info = read_file_info(file);
    file->Close(file);
    if (!info) return ERR_IO;
    out->size = info->FileSize;
    out->attributes = info->Attribute;
    const EFI_TIME& t = info->ModificationTime;
    out->year = t.Year;
    out->month = t.Month;
    out->day = t.Day;
    out->hour = t.Hour;
    out->minute = t.Minute;
    out->second = t.Second;
    out->is_directory = (info->Attribute & EFI_FILE_DIRECTORY) != 0;
    free(info);
    return ERR_OK;
}

ErrorCode file_delete(const char* path) {
    EFI_FILE_PROTOCOL* file = nullptr;
    EFI_STATUS status = path_open(path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &file);
    if (EFI_ERROR(status)) return status_to_error(status);
    if (!file) return ERR_IO;
    // Delete closes the file whatever it answers; its failure is a warning.
    status = file->Delete(file);
    return status == EFI_SUCCESS ? ERR_OK : ERR_ACCESS_DENIED;
}

ErrorCode file_rename(const char* path, const char* new_name) {
    EFI_FILE_PROTOCOL* file = nullptr;
    EFI_STATUS status = path_open(path, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &file);
    if (EFI_ERROR(status)) return status_to_error(status);
    if (!file) return ERR_IO;
    EFI_FILE_INFO* info = read_file_info(file);
    if (!info) return close_with(file, nullptr, ERR_IO);
    size_t units = 0;
    char16_t* name = utf8_to_utf16(new_name, &units);
    size_t size = EFI_FILE_INFO_NAME_OFFSET + (units + 1) * sizeof(CHAR16);
    EFI_FILE_INFO* renamed = static_cast<EFI_FILE_INFO*>(xcalloc(1, size));
    memcpy(renamed, info, EFI_FILE_INFO_NAME_OFFSET);
    memcpy(renamed->FileName, name, units * sizeof(CHAR16));
    renamed->Size = size;
    free(name);
    EFI_GUID file_info_guid = EFI_FILE_INFO_ID;
    status = file->SetInfo(file, &file_info_guid, size, renamed);
    free(renamed);
    ErrorCode closed = close_with(file, info, ERR_OK);
    return EFI_ERROR(status) ? status_to_error(status) : closed;
}

} // namespace kv
