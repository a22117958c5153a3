#include "platform/error.h"
#include "platform/status.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ErrorText, GivesTheFixedTextOfEveryCode) {
    const char* const texts[] = {
        "success",           "not found",      "access denied",       "already exists",
        "not a directory",   "is a directory", "volume full",         "I/O error",
        "invalid parameter", "not supported",  "directory not empty", "out of memory",
        "write protected",   "no media",       "security violation",  "aborted",
    };
    for (int i = 0; i < 16; i++)
        EXPECT_STREQ(kv::error_text(-i), texts[i]) << "code " << -i;
}

TEST(ErrorText, UnknownCodesShareOneText) {
    for (int code : {-16, -99, 1, 7, -2147483647 - 1})
        EXPECT_STREQ(kv::error_text(code), "unknown error") << "code " << code;
}

TEST(StatusToError, MapsTheNamedStatuses) {
    struct Case {
        EFI_STATUS status;
        kv::ErrorCode code;
    };
    const Case cases[] = {
        {EFI_SUCCESS, kv::ERR_OK},
        {EFI_NOT_FOUND, kv::ERR_NOT_FOUND},
        {EFI_ACCESS_DENIED, kv::ERR_ACCESS_DENIED},
        {EFI_VOLUME_FULL, kv::ERR_VOLUME_FULL},
        {EFI_INVALID_PARAMETER, kv::ERR_INVALID_PARAMETER},
        {EFI_UNSUPPORTED, kv::ERR_NOT_SUPPORTED},
        {EFI_OUT_OF_RESOURCES, kv::ERR_OUT_OF_MEMORY},
        {EFI_WRITE_PROTECTED, kv::ERR_WRITE_PROTECTED},
        {EFI_NO_MEDIA, kv::ERR_NO_MEDIA},
        {EFI_SECURITY_VIOLATION, kv::ERR_SECURITY_VIOLATION},
        {EFI_ABORTED, kv::ERR_ABORTED},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kv::status_to_error(c.status), c.code) << "status " << std::hex << c.status;
}

TEST(StatusToError, EveryOtherStatusIsAnIoErrorWarningsIncluded) {
    const EFI_STATUS others[] = {
        EFI_TIMEOUT,
        EFI_DEVICE_ERROR,
        EFI_VOLUME_CORRUPTED,
        EFI_MEDIA_CHANGED,
        EFI_BUFFER_TOO_SMALL,
        EFI_LOAD_ERROR,
        EFI_WARN_UNKNOWN_GLYPH,
        EFI_WARN_BUFFER_TOO_SMALL,
        EFI_ENCODE_ERROR(0x7FF),
    };
    for (EFI_STATUS s : others)
        EXPECT_EQ(kv::status_to_error(s), kv::ERR_IO) << "status " << std::hex << s;
    EXPECT_STREQ(kv::error_text(kv::status_to_error(EFI_TIMEOUT)), "I/O error");
}

} // namespace
