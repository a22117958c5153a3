#include "platform/volumes.h"

#include "platform/device_path.h"
#include "platform/format.h"
#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/sort.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

constexpr size_t kFsInfoFirstSize = 512;
// Labels and file names are a few hundred units at most; a firmware asking
// for more is broken, and growing on its word could end the program.
constexpr size_t kMaxInfoBytes = size_t(64) * 1024;

Volume* g_volumes;
int g_volume_count;
int g_boot_volume = -1;

int compare_device_paths(const void* a, const void* b) {
    return strcmp(static_cast<const Volume*>(a)->device_path,
                  static_cast<const Volume*>(b)->device_path);
}

EFI_FILE_PROTOCOL* open_root(EFI_HANDLE handle, EFI_STATUS* status) {
    EFI_GUID fs_guid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* fs = nullptr;
    *status = g_bs->HandleProtocol(handle, &fs_guid, (VOID**)&fs);
    if (EFI_ERROR(*status)) return nullptr;
    if (!fs) {
        *status = EFI_UNSUPPORTED;
        return nullptr;
    }
    EFI_FILE_PROTOCOL* root = nullptr;
    *status = fs->OpenVolume(fs, &root);
    if (EFI_ERROR(*status)) return nullptr;
    if (!root) *status = EFI_DEVICE_ERROR;
    return root;
}

// The label runs to the end of the record or its first NUL, whichever
// comes first.
void read_fs_info(EFI_FILE_PROTOCOL* root, Volume* v) {
    EFI_GUID fs_info_guid = EFI_FILE_SYSTEM_INFO_ID;
    size_t size = 0;
    auto* info = static_cast<EFI_FILE_SYSTEM_INFO*>(
        info_read(root, fs_info_guid, kFsInfoFirstSize, EFI_FILE_SYSTEM_INFO_LABEL_OFFSET, &size));
    if (!info) return;
    size_t units = (size - EFI_FILE_SYSTEM_INFO_LABEL_OFFSET) / sizeof(CHAR16);
    const CHAR16* label = reinterpret_cast<const CHAR16*>(reinterpret_cast<const char*>(info) +
                                                          EFI_FILE_SYSTEM_INFO_LABEL_OFFSET);
    free(v->label);
    v->label = utf16_to_utf8(label, units);
    v->size_bytes = info->VolumeSize;
    v->free_bytes = info->FreeSpace;
    v->read_only = info->ReadOnly != 0;
    free(info);
}

void fill_volume(Volume* v, int index) {
    format(v->name, sizeof v->name, "fs%d", index);
    v->label = xstrdup("");
    EFI_STATUS status;
    EFI_FILE_PROTOCOL* root = open_root(v->handle, &status);
    if (!root) return;
    read_fs_info(root, v);
    root->Close(root);

    EFI_GUID block_io_guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    EFI_BLOCK_IO_PROTOCOL* block_io = nullptr;
    if (!EFI_ERROR(g_bs->HandleProtocol(v->handle, &block_io_guid, (VOID**)&block_io)) &&
        block_io && block_io->Media)
        v->removable = block_io->Media->RemovableMedia != 0;
}

} // namespace

void volume_release() {
    for (int i = 0; i < g_volume_count; i++) {
        free(g_volumes[i].label);
        free(g_volumes[i].device_path);
    }
    free(g_volumes);
    g_volumes = nullptr;
    g_volume_count = 0;
    g_boot_volume = -1;
}

void volume_scan() {
    volume_release();
    EFI_GUID fs_guid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
    UINTN count = 0;
    EFI_HANDLE* handles = nullptr;
    EFI_STATUS status = g_bs->LocateHandleBuffer(ByProtocol, &fs_guid, nullptr, &count, &handles);
    if (EFI_ERROR(status) || !handles || count == 0) {
        if (handles) g_bs->FreePool(handles);
        return;
    }
    Volume* list = static_cast<Volume*>(xcalloc(count, sizeof(Volume)));
    for (UINTN i = 0; i < count; i++) {
        list[i].handle = handles[i];
        list[i].device_path = device_path_text(handles[i]);
    }
    g_bs->FreePool(handles);
    sort(list, count, sizeof(Volume), compare_device_paths);

    g_volumes = list;
    g_volume_count = static_cast<int>(count);
    for (int i = 0; i < g_volume_count; i++) {
        fill_volume(&list[i], i);
        if (g_loaded_image && g_loaded_image->DeviceHandle == list[i].handle) g_boot_volume = i;
    }
}

int volume_count() {
    return g_volume_count;
}

const Volume* volume_at(int index) {
    if (index < 0 || index >= g_volume_count) return nullptr;
    return &g_volumes[index];
}

int boot_volume() {
    return g_boot_volume;
}

int volume_resolve(const char* path, const char** rest) {
    if (rest) *rest = nullptr;
    if (!path) return -1;
    const char* colon = strchr(path, ':');
    if (!colon) return -1;
    size_t n = static_cast<size_t>(colon - path);
    for (int i = 0; i < g_volume_count; i++) {
        const char* name = g_volumes[i].name;
        if (strlen(name) == n && strncasecmp(name, path, n) == 0) {
            if (rest) *rest = colon + 1;
            return i;
        }
    }
    return -1;
}

EFI_STATUS path_open(const char* path, UINT64 mode, UINT64 attributes, EFI_FILE_PROTOCOL** file) {
    *file = nullptr;
    const char* rest = nullptr;
    int index = volume_resolve(path, &rest);
    if (index < 0) return EFI_NOT_FOUND;
    EFI_STATUS status;
    EFI_FILE_PROTOCOL* root = open_root(g_volumes[index].handle, &status);
    if (!root) return status;
    while (*rest == '\\')
        rest++;
    if (!*rest) {
        *file = root;
        return status;
    }
    char16_t* name = utf8_to_utf16(rest, nullptr);
    EFI_FILE_PROTOCOL* opened = nullptr;
    status = root->Open(root, &opened, name, mode, attributes);
    free(name);
    root->Close(root);
    if (!EFI_ERROR(status)) *file = opened;
    return status;
}

void* info_read(EFI_FILE_PROTOCOL* file, const EFI_GUID& type, size_t first_size, size_t min_size,
                size_t* size) {
    EFI_GUID guid = type;
    UINTN capacity = first_size;
    void* buffer = xmalloc(capacity);
    UINTN returned = capacity;
    EFI_STATUS status = file->GetInfo(file, &guid, &returned, buffer);
    if (status == EFI_BUFFER_TOO_SMALL && returned > capacity && returned <= kMaxInfoBytes) {
        free(buffer);
        capacity = returned;
        buffer = xmalloc(capacity);
        status = file->GetInfo(file, &guid, &returned, buffer);
    }
    uint64_t record = 0;
    if (!EFI_ERROR(status)) memcpy(&record, buffer, sizeof record);
    if (EFI_ERROR(status) || record < min_size || record > capacity) {
        free(buffer);
        return nullptr;
    }
    *size = static_cast<size_t>(record);
    return buffer;
}

} // namespace kv
