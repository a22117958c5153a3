#include "platform/device_path.h"

#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/utf.h"

namespace kv {

char* device_path_to_text(const EFI_DEVICE_PATH_PROTOCOL* path) {
    if (!path) return xstrdup("");
    EFI_GUID to_text_guid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
    EFI_DEVICE_PATH_TO_TEXT_PROTOCOL* to_text = nullptr;
    if (EFI_ERROR(g_bs->LocateProtocol(&to_text_guid, nullptr, (VOID**)&to_text)) || !to_text)
        return xstrdup("");
    CHAR16* wide = to_text->ConvertDevicePathToText(path, FALSE, TRUE);
    if (!wide) return xstrdup("");
    char* text = utf16_to_utf8(wide, (size_t)-1);
    g_bs->FreePool(wide);
    return text;
}

char* device_path_text(EFI_HANDLE handle) {
    EFI_GUID path_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    EFI_DEVICE_PATH_PROTOCOL* path = nullptr;
    if (!handle || EFI_ERROR(g_bs->HandleProtocol(handle, &path_guid, (VOID**)&path)))
        return xstrdup("");
    return device_path_to_text(path);
}

bool device_path_has_node(const EFI_DEVICE_PATH_PROTOCOL* path, uint8_t type, uint8_t subtype) {
    // Bounded, so that a path without an end node cannot run on for ever.
    constexpr size_t kMaxBytes = 65536;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(path);
    for (size_t walked = 0; p && walked < kMaxBytes;) {
        const EFI_DEVICE_PATH_PROTOCOL* node = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(p);
        if (node->Type == END_DEVICE_PATH_TYPE && node->SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE)
            return false;
        if (node->Type == type && node->SubType == subtype) return true;
        size_t length = size_t(node->Length[0]) | size_t(node->Length[1]) << 8;
        if (length < sizeof *node) return false;
        p += length;
        walked += length;
    }
    return false;
}

} // namespace kv
