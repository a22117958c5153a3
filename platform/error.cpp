#include "platform/error.h"
#include "platform/status.h"

namespace kv {

const char* error_text(ErrorCode code) {
    switch (code) {
    case ERR_OK:
        return "success";
    case ERR_NOT_FOUND:
        return "not found";
    case ERR_ACCESS_DENIED:
        return "access denied";
    case ERR_ALREADY_EXISTS:
        return "already exists";
    case ERR_NOT_DIRECTORY:
        return "not a directory";
    case ERR_IS_DIRECTORY:
        return "is a directory";
    case ERR_VOLUME_FULL:
        return "volume full";
    case ERR_IO:
        return "I/O error";
    case ERR_INVALID_PARAMETER:
        return "invalid parameter";
    case ERR_NOT_SUPPORTED:
        return "not supported";
    case ERR_DIRECTORY_NOT_EMPTY:
        return "directory not empty";
    case ERR_OUT_OF_MEMORY:
        return "out of memory";
    case ERR_WRITE_PROTECTED:
        return "write protected";
    case ERR_NO_MEDIA:
        return "no media";
    case ERR_SECURITY_VIOLATION:
        return "security violation";
    case ERR_ABORTED:
        return "aborted";
    default:
        return "unknown error";
    }
}

// Statuses without a code of their own read as I/O errors, warnings too: a
// warning means the firmware did not do all it was asked.
ErrorCode status_to_error(EFI_STATUS status) {
    switch (status) {
    case EFI_SUCCESS:
        return ERR_OK;
    case EFI_NOT_FOUND:
        return ERR_NOT_FOUND;
    case EFI_ACCESS_DENIED:
        return ERR_ACCESS_DENIED;
    case EFI_VOLUME_FULL:
        return ERR_VOLUME_FULL;
    case EFI_INVALID_PARAMETER:
        return ERR_INVALID_PARAMETER;
    case EFI_UNSUPPORTED:
        return ERR_NOT_SUPPORTED;
    case EFI_OUT_OF_RESOURCES:
        return ERR_OUT_OF_MEMORY;
    case EFI_WRITE_PROTECTED:
        return ERR_WRITE_PROTECTED;
    case EFI_NO_MEDIA:
        return ERR_NO_MEDIA;
    case EFI_SECURITY_VIOLATION:
        return ERR_SECURITY_VIOLATION;
    case EFI_ABORTED:
        return ERR_ABORTED;
    default:
        return ERR_IO;
    }
}

} // namespace kv
