// The program's error codes: 0 for success, negative for failures.
#pragma once

namespace kv {

typedef int ErrorCode;

enum : int {
    ERR_OK = 0,
    ERR_NOT_FOUND = -1,
    ERR_ACCESS_DENIED = -2,
    ERR_ALREADY_EXISTS = -3,
    ERR_NOT_DIRECTORY = -4,
    ERR_IS_DIRECTORY = -5,
    ERR_VOLUME_FULL = -6,
    ERR_IO = -7,
    ERR_INVALID_PARAMETER = -8,
    ERR_NOT_SUPPORTED = -9,
    ERR_DIRECTORY_NOT_EMPTY = -10,
    ERR_OUT_OF_MEMORY = -11,
    ERR_WRITE_PROTECTED = -12,
    ERR_NO_MEDIA = -13,
    ERR_SECURITY_VIOLATION = -14,
    ERR_ABORTED = -15,
};

const char* error_text(ErrorCode code);

} // namespace kv
