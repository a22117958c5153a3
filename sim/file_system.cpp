// File-system volumes over host directories. Each file record keeps its
// place as the list of host names from the volume's root, and every
// operation goes to the host file system afresh, so nothing host-side stays
// open between calls.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sim/files.h"
#include "sim/firmware.h"
#include "sim/host_tree.h"
#include "sim/internal.h"

namespace sim {
namespace {

using detail::Fault;

namespace fs = std::filesystem;
using namespace host_tree;

const EFI_GUID kFileSystemGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID kBlockIoGuid = EFI_BLOCK_IO_PROTOCOL_GUID;
const EFI_GUID kFileInfoGuid = EFI_FILE_INFO_ID;
const EFI_GUID kFileSystemInfoGuid = EFI_FILE_SYSTEM_INFO_ID;

constexpr UINT64 kEndOfFile = 0xFFFFFFFFFFFFFFFFull;
constexpr uint32_t kSectorSize = 512;
constexpr size_t kOpKinds = size_t(FileOp::Flush) + 1;

struct Volume {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL protocol{};
    EFI_BLOCK_IO_PROTOCOL block_io{};
    EFI_BLOCK_IO_MEDIA media{};
    PathBytes path;
    fs::path root;
    std::u16string label;
    bool read_only = false;
    uint64_t capacity = 0;
    uint32_t cluster_size = 4096;
    EFI_HANDLE handle = nullptr;
    bool own_path = false;
    bool own_block_io = false;
    bool removed = false;
    bool fixed_file_info = false;
    Fault faults[kOpKinds];
    uint64_t counts[kOpKinds] = {};
    int64_t write_chunk = -1;
    size_t open_files = 0;
};

struct File {
    EFI_FILE_PROTOCOL protocol{};
    Volume* volume = nullptr;
    std::vector<std::string> place; // host names from the root
    bool directory = false;
    bool writable = false;
    bool open = true;
    uint64_t position = 0; // a directory's next entry
};

struct FsState {
    // Records live until reset, closed files too, so that a stale pointer
    // the program kept is recognised instead of reaching freed memory.
    std::vector<std::unique_ptr<Volume>> volumes;
    std::vector<std::unique_ptr<File>> files;
    std::unordered_map<const void*, Volume*> by_protocol;
    std::unordered_map<const EFI_FILE_PROTOCOL*, File*> by_file;
    uint32_t added = 0;
};

FsState g_fs;

// ---- Host side ----

fs::path place_path(const Volume& v, const std::vector<std::string>& place) {
    fs::path p = v.root;
    for (const std::string& name : place)
        p /= name;
    return p;
}

fs::path host_path(const File& f) {
    return place_path(*f.volume, f.place);
}

uint64_t bytes_free(const Volume& v) {
    uint64_t used = tree_bytes(v.root);
    return used < v.capacity ? v.capacity - used : 0;
}

// ---- Records ----

void put_u16(std::vector<uint8_t>& out, size_t at, const std::u16string& s) {
    std::memcpy(out.data() + at, s.data(), s.size() * 2);
}

std::vector<uint8_t> file_info(const Volume& v, const fs::path& p, const std::u16string& name,
                               bool directory) {
    std::vector<uint8_t> out(EFI_FILE_INFO_NAME_OFFSET + (name.size() + 1) * 2, 0);
    EFI_FILE_INFO info{};
    info.Size = out.size();
    std::error_code ec;
    uint64_t size = directory ? 0 : fs::file_size(p, ec);
    if (ec) size = 0;
    info.FileSize = size;
    info.PhysicalSize =
        directory ? v.cluster_size : (size + v.cluster_size - 1) / v.cluster_size * v.cluster_size;
    info.ModificationTime = efi_time(p);
    info.CreateTime = info.ModificationTime;
    info.LastAccessTime = info.ModificationTime;
    info.Attribute = directory ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE;
    if (host_read_only(p)) info.Attribute |= EFI_FILE_READ_ONLY;
    std::memcpy(out.data(), &info, EFI_FILE_INFO_NAME_OFFSET);
    put_u16(out, EFI_FILE_INFO_NAME_OFFSET, name);
    return out;
}

std::vector<uint8_t> file_system_info(const Volume& v) {
    std::vector<uint8_t> out(EFI_FILE_SYSTEM_INFO_LABEL_OFFSET + (v.label.size() + 1) * 2, 0);
    EFI_FILE_SYSTEM_INFO info{};
    info.Size = out.size();
    info.ReadOnly = v.read_only;
    info.VolumeSize = v.capacity;
    info.FreeSpace = bytes_free(v);
    info.BlockSize = v.cluster_size;
    std::memcpy(out.data(), &info, EFI_FILE_SYSTEM_INFO_LABEL_OFFSET);
    put_u16(out, EFI_FILE_SYSTEM_INFO_LABEL_OFFSET, v.label);
    return out;
}

EFI_STATUS give(const std::vector<uint8_t>& record, UINTN* size, VOID* buffer) {
    if (*size < record.size()) {
        *size = record.size();
        return EFI_BUFFER_TOO_SMALL;
    }
    if (!buffer) return EFI_INVALID_PARAMETER;
    std::memcpy(buffer, record.data(), record.size());
    *size = record.size();
    return EFI_SUCCESS;
}

// ---- Operation bookkeeping ----

// The latest volume on the handle, removed or not.
Volume* volume_of(EFI_HANDLE handle) {
    for (auto it = g_fs.volumes.rbegin(); it != g_fs.volumes.rend(); ++it)
        if ((*it)->handle == handle) return it->get();
    return nullptr;
}

// Counts the operation and reports whether an armed fault takes it.
bool faulted(Volume* v, FileOp op, EFI_STATUS* status) {
    v->counts[size_t(FileOp::Any)]++;
    v->counts[size_t(op)]++;
    bool any = v->faults[size_t(FileOp::Any)].fires(status);
    return v->faults[size_t(op)].fires(status) || any;
}

File* open_file(EFI_FILE_PROTOCOL* self) {
    auto it = g_fs.by_file.find(self);
    return it != g_fs.by_file.end() && it->second->open ? it->second : nullptr;
}

void close_file(File* f) {
    f->open = false;
    f->volume->open_files--;
}

EFI_STATUS EFIAPI file_open(EFI_FILE_PROTOCOL*, EFI_FILE_PROTOCOL**, CHAR16*, UINT64, UINT64);
EFI_STATUS EFIAPI file_close(EFI_FILE_PROTOCOL*);
EFI_STATUS EFIAPI file_delete(EFI_FILE_PROTOCOL*);
EFI_STATUS EFIAPI file_read(EFI_FILE_PROTOCOL*, UINTN*, VOID*);
EFI_STATUS EFIAPI file_write(EFI_FILE_PROTOCOL*, UINTN*, VOID*);
EFI_STATUS EFIAPI get_position(EFI_FILE_PROTOCOL*, UINT64*);
EFI_STATUS EFIAPI set_position(EFI_FILE_PROTOCOL*, UINT64);
EFI_STATUS EFIAPI get_info(EFI_FILE_PROTOCOL*, EFI_GUID*, UINTN*, VOID*);
EFI_STATUS EFIAPI set_info(EFI_FILE_PROTOCOL*, EFI_GUID*, UINTN, VOID*);
EFI_STATUS EFIAPI file_flush(EFI_FILE_PROTOCOL*);

File* new_file(Volume* v, std::vector<std::string> place, bool directory, bool writable) {
    g_fs.files.push_back(std::make_unique<File>());
    File* f = g_fs.files.back().get();
    f->volume = v;
    f->place = std::move(place);
    f->directory = directory;
    f->writable = writable;
    EFI_FILE_PROTOCOL& p = f->protocol;
    p.Revision = EFI_FILE_PROTOCOL_REVISION;
    p.Open = file_open;
    p.Close = file_close;
    p.Delete = file_delete;
    p.Read = file_read;
    p.Write = file_write;
    p.GetPosition = get_position;
    p.SetPosition = set_position;
    p.GetInfo = get_info;
    p.SetInfo = set_info;
    p.Flush = file_flush;
    g_fs.by_file[&f->protocol] = f;
    v->open_files++;
    return f;
}

// Looks up the file and applies what every operation but Close shares:
// the count, armed faults and a medium that was taken out.
EFI_STATUS enter(EFI_FILE_PROTOCOL* self, FileOp op, File** out) {
    File* f = open_file(self);
    *out = f;
    if (!f) return EFI_INVALID_PARAMETER;
    EFI_STATUS status;
    if (faulted(f->volume, op, &status)) return status;
    return f->volume->removed ? EFI_NO_MEDIA : EFI_SUCCESS;
}

// ---- EFI_SIMPLE_FILE_SYSTEM_PROTOCOL and EFI_FILE_PROTOCOL ----

EFI_STATUS EFIAPI open_volume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* self, EFI_FILE_PROTOCOL** root) {
    auto it = g_fs.by_protocol.find(self);
    if (it == g_fs.by_protocol.end() || !root) return EFI_INVALID_PARAMETER;
    Volume* v = it->second;
    EFI_STATUS status;
    if (faulted(v, FileOp::OpenVolume, &status)) return status;
    if (v->removed) return EFI_NO_MEDIA;
    *root = &new_file(v, {}, true, true)->protocol;
    return EFI_SUCCESS;
}

bool valid_mode(UINT64 mode, UINT64 attributes) {
    if (mode == (EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE))
        return (attributes & ~EFI_FILE_VALID_ATTR) == 0;
    return mode == EFI_FILE_MODE_READ || mode == (EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE);
}

EFI_STATUS create(Volume* v, std::vector<std::string> place, const std::u16string& name,
                  UINT64 attributes, File** out) {
    std::string host_name = utf16_to_utf8(name);
    place.push_back(host_name);
    fs::path p = place_path(*v, place);
    bool directory = attributes & EFI_FILE_DIRECTORY;
    std::error_code ec;
    if (directory) {
        fs::create_directory(p, ec);
    } else if (!std::ofstream(p, std::ios::binary)) {
        return EFI_DEVICE_ERROR;
    }
    if (ec) return EFI_DEVICE_ERROR;
    if (attributes & EFI_FILE_READ_ONLY) set_host_read_only(p, true);
    *out = new_file(v, std::move(place), directory, true);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_open(EFI_FILE_PROTOCOL* self, EFI_FILE_PROTOCOL** new_handle,
                            CHAR16* file_name, UINT64 mode, UINT64 attributes) {
    File* at;
    EFI_STATUS status = enter(self, FileOp::Open, &at);
    if (status != EFI_SUCCESS) return status;
    if (!new_handle || !file_name || !valid_mode(mode, attributes)) return EFI_INVALID_PARAMETER;
    *new_handle = nullptr;
    Volume* v = at->volume;
    bool writing = mode & EFI_FILE_MODE_WRITE;
    if (writing && v->read_only) return EFI_WRITE_PROTECTED;

    std::u16string path(reinterpret_cast<const char16_t*>(file_name));
    if (path.empty()) return EFI_INVALID_PARAMETER;
    bool want_directory = path.back() == u'\\';
    std::vector<std::string> place;
    bool directory = true;
    if (path.front() != u'\\') {
        place = at->place;
        directory = at->directory;
    }
    std::vector<std::u16string> parts = components(path);
    for (size_t i = 0; i < parts.size(); i++) {
        const std::u16string& part = parts[i];
        if (part == u".") continue;
        if (part == u"..") {
            if (place.empty()) return EFI_INVALID_PARAMETER;
            place.pop_back();
            directory = true;
            continue;
        }
        std::u16string name;
        if (!clean_name(part, &name)) return EFI_INVALID_PARAMETER;
        if (!directory) return EFI_NOT_FOUND;
        std::string found = find_entry(place_path(*v, place), name);
        if (found.empty()) {
            bool last = i + 1 == parts.size();
            if (!last || !(mode & EFI_FILE_MODE_CREATE)) return EFI_NOT_FOUND;
            if (want_directory && !(attributes & EFI_FILE_DIRECTORY)) return EFI_NOT_FOUND;
            File* created = nullptr;
            status = create(v, place, name, attributes, &created);
            if (status == EFI_SUCCESS) *new_handle = &created->protocol;
            return status;
        }
        place.push_back(found);
        std::error_code ec;
        directory = fs::is_directory(place_path(*v, place), ec);
    }
    if (want_directory && !directory) return EFI_NOT_FOUND;
    if (writing && !directory && host_read_only(place_path(*v, place))) return EFI_ACCESS_DENIED;
    File* f = new_file(v, std::move(place), directory, writing);
    *new_handle = &f->protocol;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI file_close(EFI_FILE_PROTOCOL* self) {
    File* f = open_file(self);
    if (!f) return EFI_INVALID_PARAMETER;
    EFI_STATUS status = EFI_SUCCESS;
    faulted(f->volume, FileOp::Close, &status);
    close_file(f);
    return status;
}

EFI_STATUS EFIAPI file_delete(EFI_FILE_PROTOCOL* self) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::Delete, &f);
    if (!f) return status;
    close_file(f);
    if (status != EFI_SUCCESS) return status;
    if (f->place.empty() || f->volume->read_only || !f->writable) return EFI_WARN_DELETE_FAILURE;
    std::error_code ec;
    // remove() refuses a directory that is not empty, as FAT does.
    if (!fs::remove(host_path(*f), ec)) return EFI_WARN_DELETE_FAILURE;
    return EFI_SUCCESS;
}

// The directory's entries in the order Read hands them out.
std::vector<std::string> listing(const File& dir) {
    std::vector<std::string> names;
    if (!dir.place.empty()) names = {".", ".."};
    for (std::string& name : host_entries(host_path(dir)))
        names.push_back(std::move(name));
    return names;
}

EFI_STATUS read_directory(File* f, UINTN* size, VOID* buffer) {
    std::vector<std::string> names = listing(*f);
    if (f->position >= names.size()) {
        *size = 0;
        return EFI_SUCCESS;
    }
    const std::string& name = names[f->position];
    fs::path p = host_path(*f);
    if (name == "..")
        p = p.parent_path();
    else if (name != ".")
        p /= name;
    std::error_code ec;
    EFI_STATUS status =
        give(file_info(*f->volume, p, utf8_to_utf16(name), fs::is_directory(p, ec)), size, buffer);
    if (status == EFI_SUCCESS) f->position++;
    return status;
}

EFI_STATUS EFIAPI file_read(EFI_FILE_PROTOCOL* self, UINTN* size, VOID* buffer) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::Read, &f);
    if (status != EFI_SUCCESS) {
        if (size) *size = 0;
        return status;
    }
    if (!size || (*size && !buffer)) return EFI_INVALID_PARAMETER;
    if (f->directory) return read_directory(f, size, buffer);
    fs::path p = host_path(*f);
    std::error_code ec;
    uint64_t length = fs::file_size(p, ec);
    if (ec || f->position > length) {
        *size = 0;
        return EFI_DEVICE_ERROR;
    }
    uint64_t n = std::min<uint64_t>(*size, length - f->position);
    std::ifstream in(p, std::ios::binary);
    in.seekg(std::streamoff(f->position));
    in.read(static_cast<char*>(buffer), std::streamsize(n));
    if (uint64_t(in.gcount()) != n) {
        *size = 0;
        return EFI_DEVICE_ERROR;
    }
    f->position += n;
    *size = n;
    return EFI_SUCCESS;
}

// Whether the file may grow from `length` to `new_length` bytes.
bool fits(const Volume& v, uint64_t length, uint64_t new_length) {
    if (new_length <= length) return true;
    uint64_t growth = new_length - length;
    return growth <= bytes_free(v);
}

EFI_STATUS EFIAPI file_write(EFI_FILE_PROTOCOL* self, UINTN* size, VOID* buffer) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::Write, &f);
    if (status == EFI_SUCCESS && !size) status = EFI_INVALID_PARAMETER;
    if (status == EFI_SUCCESS && f->directory) status = EFI_UNSUPPORTED;
    if (status == EFI_SUCCESS && !f->writable) status = EFI_ACCESS_DENIED;
    if (status == EFI_SUCCESS && f->volume->read_only) status = EFI_WRITE_PROTECTED;
    if (status == EFI_SUCCESS && *size && !buffer) status = EFI_INVALID_PARAMETER;
    if (status != EFI_SUCCESS) {
        if (size) *size = 0;
        return status;
    }
    uint64_t n = *size;
    if (f->volume->write_chunk >= 0) n = std::min<uint64_t>(n, uint64_t(f->volume->write_chunk));
    fs::path p = host_path(*f);
    std::error_code ec;
    uint64_t length = fs::file_size(p, ec);
    if (ec) {
        *size = 0;
        return EFI_DEVICE_ERROR;
    }
    if (f->position > f->volume->capacity || n > f->volume->capacity ||
        !fits(*f->volume, length, std::max(length, f->position + n))) {
        *size = 0;
        return EFI_VOLUME_FULL;
    }
    if (f->position > length) fs::resize_file(p, f->position, ec);
    std::fstream out(p, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(std::streamoff(f->position));
    out.write(static_cast<const char*>(buffer), std::streamsize(n));
    out.flush();
    if (ec || !out) {
        *size = 0;
        return EFI_DEVICE_ERROR;
    }
    f->position += n;
    *size = n;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_position(EFI_FILE_PROTOCOL* self, UINT64* position) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::GetPosition, &f);
    if (status != EFI_SUCCESS) return status;
    if (!position) return EFI_INVALID_PARAMETER;
    if (f->directory) return EFI_UNSUPPORTED;
    *position = f->position;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_position(EFI_FILE_PROTOCOL* self, UINT64 position) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::SetPosition, &f);
    if (status != EFI_SUCCESS) return status;
    if (f->directory) {
        if (position != 0) return EFI_UNSUPPORTED;
        f->position = 0;
        return EFI_SUCCESS;
    }
    if (position == kEndOfFile) {
        std::error_code ec;
        position = fs::file_size(host_path(*f), ec);
        if (ec) return EFI_DEVICE_ERROR;
    }
    f->position = position;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_info(EFI_FILE_PROTOCOL* self, EFI_GUID* type, UINTN* size, VOID* buffer) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::GetInfo, &f);
    if (status != EFI_SUCCESS) return status;
    if (!type || !size) return EFI_INVALID_PARAMETER;
    if (efi_guid_equal(*type, kFileSystemInfoGuid))
        return give(file_system_info(*f->volume), size, buffer);
    if (!efi_guid_equal(*type, kFileInfoGuid)) return EFI_UNSUPPORTED;
    std::u16string name = f->place.empty() ? u"" : utf8_to_utf16(f->place.back());
    return give(file_info(*f->volume, host_path(*f), name, f->directory), size, buffer);
}

// The string that runs from `at` to the first NUL within `size` bytes, or
// false when there is no NUL.
bool record_string(const VOID* buffer, size_t at, size_t size, std::u16string* out) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    out->clear();
    for (size_t i = at; i + 1 < size; i += 2) {
        char16_t c = char16_t(bytes[i] | bytes[i + 1] << 8);
        if (c == 0) return true;
        *out += c;
    }
    return false;
}

EFI_STATUS set_file_info(File* f, UINTN size, const VOID* buffer) {
    EFI_FILE_INFO info;
    std::memcpy(&info, buffer, EFI_FILE_INFO_NAME_OFFSET);
    std::u16string new_name;
    if (info.Size > size || info.Size < EFI_FILE_INFO_NAME_OFFSET + 2 ||
        !record_string(buffer, EFI_FILE_INFO_NAME_OFFSET, info.Size, &new_name))
        return EFI_BAD_BUFFER_SIZE;
    if (info.Attribute & ~EFI_FILE_VALID_ATTR) return EFI_INVALID_PARAMETER;
    Volume& v = *f->volume;
    if (v.read_only) return EFI_WRITE_PROTECTED;
    if (f->place.empty()) return EFI_ACCESS_DENIED;
    if (!f->writable) return EFI_ACCESS_DENIED;
    if (bool(info.Attribute & EFI_FILE_DIRECTORY) != f->directory) return EFI_ACCESS_DENIED;

    fs::path p = host_path(*f);
    std::error_code ec;
    uint64_t length = f->directory ? 0 : fs::file_size(p, ec);
    if (ec) return EFI_DEVICE_ERROR;
    if (f->directory && info.FileSize != 0) return EFI_ACCESS_DENIED;
    if (!f->directory && info.FileSize != length) {
        if (v.fixed_file_info) return EFI_ACCESS_DENIED;
        if (info.FileSize > v.capacity || !fits(v, length, info.FileSize)) return EFI_VOLUME_FULL;
        fs::resize_file(p, info.FileSize, ec);
        if (ec) return EFI_DEVICE_ERROR;
    }

    std::u16string name;
    if (!clean_name(new_name, &name)) return EFI_INVALID_PARAMETER;
    if (!same_name(name, utf8_to_utf16(f->place.back()))) {
        if (v.fixed_file_info) return EFI_ACCESS_DENIED;
        if (!find_entry(p.parent_path(), name).empty()) return EFI_ACCESS_DENIED;
        fs::path renamed = p.parent_path() / utf16_to_utf8(name);
        fs::rename(p, renamed, ec);
        if (ec) return EFI_DEVICE_ERROR;
        f->place.back() = renamed.filename().string();
        p = renamed;
    }
    set_host_read_only(p, info.Attribute & EFI_FILE_READ_ONLY);
    if (info.ModificationTime.Year != 0) set_host_time(p, info.ModificationTime);
    return EFI_SUCCESS;
}

EFI_STATUS set_file_system_info(File* f, UINTN size, const VOID* buffer) {
    std::u16string label;
    if (size < EFI_FILE_SYSTEM_INFO_LABEL_OFFSET + 2 ||
        !record_string(buffer, EFI_FILE_SYSTEM_INFO_LABEL_OFFSET, size, &label))
        return EFI_BAD_BUFFER_SIZE;
    if (f->volume->read_only) return EFI_WRITE_PROTECTED;
    f->volume->label = label;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_info(EFI_FILE_PROTOCOL* self, EFI_GUID* type, UINTN size, VOID* buffer) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::SetInfo, &f);
    if (status != EFI_SUCCESS) return status;
    if (!type || !buffer) return EFI_INVALID_PARAMETER;
    if (efi_guid_equal(*type, kFileSystemInfoGuid)) return set_file_system_info(f, size, buffer);
    if (!efi_guid_equal(*type, kFileInfoGuid)) return EFI_UNSUPPORTED;
    if (size < EFI_FILE_INFO_NAME_OFFSET + 2) return EFI_BAD_BUFFER_SIZE;
    return set_file_info(f, size, buffer);
}

EFI_STATUS EFIAPI file_flush(EFI_FILE_PROTOCOL* self) {
    File* f;
    EFI_STATUS status = enter(self, FileOp::Flush, &f);
    if (status != EFI_SUCCESS) return status;
    if (f->volume->read_only) return EFI_WRITE_PROTECTED;
    return f->writable ? EFI_SUCCESS : EFI_ACCESS_DENIED;
}

EFI_STATUS EFIAPI block_io_reset(EFI_BLOCK_IO_PROTOCOL*, BOOLEAN) {
    return EFI_SUCCESS;
}
// The volume's blocks are not the program's business.
EFI_STATUS EFIAPI block_io_transfer(EFI_BLOCK_IO_PROTOCOL*, UINT32, EFI_LBA, UINTN, VOID*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI block_io_flush(EFI_BLOCK_IO_PROTOCOL*) {
    return EFI_SUCCESS;
}

// ---- Lifetime ----

// Whether the handle database still carries this volume; after a reset it
// does not, even if a new handle took the old one's address.
bool still_installed(const Volume& v) {
    if (!detail::handle_known(v.handle)) return false;
    EFI_GUID guid = kFileSystemGuid;
    VOID* iface = nullptr;
    EFI_STATUS status = system_table()->BootServices->HandleProtocol(v.handle, &guid, &iface);
    return !EFI_ERROR(status) && iface == &v.protocol;
}

// The firmware's reset drops the handles; the volumes go with them the next
// time one is added.
void drop_after_reset() {
    for (auto& v : g_fs.volumes) {
        if (!v->removed && !still_installed(*v)) {
            g_fs = FsState{};
            return;
        }
    }
}

PathBytes default_path(const Volume& v, uint32_t number) {
    uint64_t sectors = v.capacity / kSectorSize;
    return dp::path({dp::pci_root(), dp::pci(0x1D, 0), dp::usb(uint8_t(number)),
                     dp::hard_drive_mbr(1, 0x800, sectors ? sectors : 1, 0x4B560000u + number)});
}

} // namespace

EFI_HANDLE add_volume(const std::string& host_dir, const VolumeConfig& config) {
    drop_after_reset();
    detail::device_path_text_default();
    g_fs.volumes.push_back(std::make_unique<Volume>());
    Volume* v = g_fs.volumes.back().get();
    uint32_t number = g_fs.added++;
    v->root = fs::path(host_dir);
    v->label = utf8_to_utf16(config.label);
    v->read_only = config.read_only;
    v->fixed_file_info = config.fixed_file_info;
    v->capacity = config.capacity_bytes;
    v->cluster_size = config.cluster_size ? config.cluster_size : kSectorSize;
    v->protocol.Revision = 0x00010000;
    v->protocol.OpenVolume = open_volume;
    g_fs.by_protocol[&v->protocol] = v;

    EFI_HANDLE handle = config.on_handle;
    install_protocol(&handle, kFileSystemGuid, &v->protocol);
    v->handle = handle;
    if (config.on_handle) return handle;
    if (config.has_device_path) {
        v->path = config.path.empty() ? default_path(*v, number) : config.path;
        install_protocol(&handle, kDevicePathGuid, v->path.data());
        v->own_path = true;
    }
    if (config.block_io) {
        EFI_BLOCK_IO_MEDIA& m = v->media;
        m.RemovableMedia = config.removable;
        m.MediaPresent = TRUE;
        m.LogicalPartition = TRUE;
        m.ReadOnly = config.read_only;
        m.BlockSize = kSectorSize;
        uint64_t sectors = v->capacity / kSectorSize;
        m.LastBlock = sectors ? sectors - 1 : 0;
        v->block_io.Revision = 0x00010000;
        v->block_io.Media = &v->media;
        v->block_io.Reset = block_io_reset;
        v->block_io.ReadBlocks = block_io_transfer;
        v->block_io.WriteBlocks = block_io_transfer;
        v->block_io.FlushBlocks = block_io_flush;
        install_protocol(&handle, kBlockIoGuid, &v->block_io);
        v->own_block_io = true;
    }
    return handle;
}

void remove_volume(EFI_HANDLE volume) {
    Volume* v = volume_of(volume);
    if (!v || v->removed) return;
    uninstall_protocol(v->handle, kFileSystemGuid);
    if (v->own_path) uninstall_protocol(v->handle, kDevicePathGuid);
    if (v->own_block_io) uninstall_protocol(v->handle, kBlockIoGuid);
    v->removed = true;
}

void set_volume_read_only(EFI_HANDLE volume, bool read_only) {
    if (Volume* v = volume_of(volume)) {
        v->read_only = read_only;
        v->media.ReadOnly = read_only;
    }
}

void fail_file_op(EFI_HANDLE volume, FileOp op, uint64_t nth, EFI_STATUS status, bool and_after) {
    if (Volume* v = volume_of(volume)) v->faults[size_t(op)] = Fault{nth, status, and_after, false};
}

void set_write_chunk(EFI_HANDLE volume, int64_t max_bytes) {
    if (Volume* v = volume_of(volume)) v->write_chunk = max_bytes;
}

uint64_t file_op_count(EFI_HANDLE volume, FileOp op) {
    Volume* v = volume_of(volume);
    return v ? v->counts[size_t(op)] : 0;
}

size_t open_file_count(EFI_HANDLE volume) {
    Volume* v = volume_of(volume);
    return v ? v->open_files : 0;
}

} // namespace sim
