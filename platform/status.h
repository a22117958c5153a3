// Firmware statuses to error codes; kept apart from error.h so the disk core
// never sees firmware declarations.
#pragma once

#include "platform/efi.h"
#include "platform/error.h"

namespace kv {

ErrorCode status_to_error(EFI_STATUS status);

} // namespace kv
