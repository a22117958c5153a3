// UEFI base types, status codes and the system, boot services and runtime
// services tables, laid out as the UEFI specification publishes them.
// EFIAPI is the Microsoft x64 convention in both builds, so the same
// declarations serve real firmware and the simulated one.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define EFIAPI __attribute__((ms_abi))

typedef uint8_t BOOLEAN;
typedef int8_t INT8;
typedef uint8_t UINT8;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int64_t INT64;
typedef uint64_t UINT64;
typedef int64_t INTN;
typedef uint64_t UINTN;
typedef char16_t CHAR16;
typedef char CHAR8;
typedef void VOID;

typedef UINTN EFI_STATUS;
typedef VOID* EFI_HANDLE;
typedef VOID* EFI_EVENT;
typedef UINT64 EFI_LBA;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

struct EFI_GUID {
    UINT32 Data1;
    UINT16 Data2;
    UINT16 Data3;
    UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID is 16 bytes");

static inline bool efi_guid_equal(const EFI_GUID& a, const EFI_GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// Status codes: errors carry the high bit.
#define EFI_ERROR_BIT 0x8000000000000000ULL
#define EFI_ENCODE_ERROR(n) ((EFI_STATUS)(EFI_ERROR_BIT | (n)))
#define EFI_ERROR(s) ((static_cast<EFI_STATUS>(s) & EFI_ERROR_BIT) != 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR EFI_ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER EFI_ENCODE_ERROR(2)
#define EFI_UNSUPPORTED EFI_ENCODE_ERROR(3)
#define EFI_BAD_BUFFER_SIZE EFI_ENCODE_ERROR(4)
#define EFI_BUFFER_TOO_SMALL EFI_ENCODE_ERROR(5)
#define EFI_NOT_READY EFI_ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR EFI_ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED EFI_ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES EFI_ENCODE_ERROR(9)
#define EFI_VOLUME_CORRUPTED EFI_ENCODE_ERROR(10)
#define EFI_VOLUME_FULL EFI_ENCODE_ERROR(11)
#define EFI_NO_MEDIA EFI_ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED EFI_ENCODE_ERROR(13)
#define EFI_NOT_FOUND EFI_ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED EFI_ENCODE_ERROR(15)
#define EFI_NO_RESPONSE EFI_ENCODE_ERROR(16)
#define EFI_NO_MAPPING EFI_ENCODE_ERROR(17)
#define EFI_TIMEOUT EFI_ENCODE_ERROR(18)
#define EFI_NOT_STARTED EFI_ENCODE_ERROR(19)
#define EFI_ALREADY_STARTED EFI_ENCODE_ERROR(20)
#define EFI_ABORTED EFI_ENCODE_ERROR(21)
#define EFI_ICMP_ERROR EFI_ENCODE_ERROR(22)
#define EFI_TFTP_ERROR EFI_ENCODE_ERROR(23)
#define EFI_PROTOCOL_ERROR EFI_ENCODE_ERROR(24)
#define EFI_INCOMPATIBLE_VERSION EFI_ENCODE_ERROR(25)
#define EFI_SECURITY_VIOLATION EFI_ENCODE_ERROR(26)
#define EFI_CRC_ERROR EFI_ENCODE_ERROR(27)
#define EFI_END_OF_MEDIA EFI_ENCODE_ERROR(28)
#define EFI_END_OF_FILE EFI_ENCODE_ERROR(31)
#define EFI_INVALID_LANGUAGE EFI_ENCODE_ERROR(32)
#define EFI_COMPROMISED_DATA EFI_ENCODE_ERROR(33)

#define EFI_WARN_UNKNOWN_GLYPH ((EFI_STATUS)1)
#define EFI_WARN_DELETE_FAILURE ((EFI_STATUS)2)
#define EFI_WARN_WRITE_FAILURE ((EFI_STATUS)3)
#define EFI_WARN_BUFFER_TOO_SMALL ((EFI_STATUS)4)

// Task priority levels.
#define TPL_APPLICATION 4
#define TPL_CALLBACK 8
#define TPL_NOTIFY 16
#define TPL_HIGH_LEVEL 31

// Event types.
#define EVT_TIMER 0x80000000u
#define EVT_RUNTIME 0x40000000u
#define EVT_NOTIFY_WAIT 0x00000100u
#define EVT_NOTIFY_SIGNAL 0x00000200u

typedef enum { TimerCancel, TimerPeriodic, TimerRelative } EFI_TIMER_DELAY;

typedef enum {
    AllocateAnyPages,
    AllocateMaxAddress,
    AllocateAddress,
    MaxAllocateType
} EFI_ALLOCATE_TYPE;

typedef enum {
    EfiReservedMemoryType,
    EfiLoaderCode,
    EfiLoaderData,
    EfiBootServicesCode,
    EfiBootServicesData,
    EfiRuntimeServicesCode,
    EfiRuntimeServicesData,
    EfiConventionalMemory,
    EfiUnusableMemory,
    EfiACPIReclaimMemory,
    EfiACPIMemoryNVS,
    EfiMemoryMappedIO,
    EfiMemoryMappedIOPortSpace,
    EfiPalCode,
    EfiPersistentMemory,
    EfiMaxMemoryType
} EFI_MEMORY_TYPE;

typedef enum { AllHandles, ByRegisterNotify, ByProtocol } EFI_LOCATE_SEARCH_TYPE;

typedef enum { EFI_NATIVE_INTERFACE } EFI_INTERFACE_TYPE;

typedef enum {
    EfiResetCold,
    EfiResetWarm,
    EfiResetShutdown,
    EfiResetPlatformSpecific
} EFI_RESET_TYPE;

// OpenProtocol attributes.
#define EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL 0x00000001u
#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002u
#define EFI_OPEN_PROTOCOL_TEST_PROTOCOL 0x00000004u
#define EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER 0x00000008u
#define EFI_OPEN_PROTOCOL_BY_DRIVER 0x00000010u
#define EFI_OPEN_PROTOCOL_EXCLUSIVE 0x00000020u

struct EFI_TABLE_HEADER {
    UINT64 Signature;
    UINT32 Revision;
    UINT32 HeaderSize;
    UINT32 CRC32;
    UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "table header layout");

struct EFI_MEMORY_DESCRIPTOR {
    UINT32 Type;
    EFI_PHYSICAL_ADDRESS PhysicalStart;
    EFI_VIRTUAL_ADDRESS VirtualStart;
    UINT64 NumberOfPages;
    UINT64 Attribute;
};

struct EFI_TIME {
    UINT16 Year;
    UINT8 Month;
    UINT8 Day;
    UINT8 Hour;
    UINT8 Minute;
    UINT8 Second;
    UINT8 Pad1;
    UINT32 Nanosecond;
    INT16 TimeZone;
    UINT8 Daylight;
    UINT8 Pad2;
};
static_assert(sizeof(EFI_TIME) == 16, "EFI_TIME layout");

struct EFI_TIME_CAPABILITIES {
    UINT32 Resolution;
    UINT32 Accuracy;
    BOOLEAN SetsToZero;
};

struct EFI_OPEN_PROTOCOL_INFORMATION_ENTRY {
    EFI_HANDLE AgentHandle;
    EFI_HANDLE ControllerHandle;
    UINT32 Attributes;
    UINT32 OpenCount;
};

struct EFI_CONFIGURATION_TABLE {
    EFI_GUID VendorGuid;
    VOID* VendorTable;
};

struct EFI_DEVICE_PATH_PROTOCOL;
struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;
struct EFI_CAPSULE_HEADER;

typedef VOID(EFIAPI* EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID* Context);

struct EFI_BOOT_SERVICES {
    EFI_TABLE_HEADER Hdr;

    EFI_TPL(EFIAPI* RaiseTPL)(EFI_TPL NewTpl);
    VOID(EFIAPI* RestoreTPL)(EFI_TPL OldTpl);

    EFI_STATUS(EFIAPI* AllocatePages)
    (EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages, EFI_PHYSICAL_ADDRESS* Memory);
    EFI_STATUS(EFIAPI* FreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
    EFI_STATUS(EFIAPI* GetMemoryMap)
    (UINTN* MemoryMapSize, EFI_MEMORY_DESCRIPTOR* MemoryMap, UINTN* MapKey, UINTN* DescriptorSize,
     UINT32* DescriptorVersion);
    EFI_STATUS(EFIAPI* AllocatePool)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID** Buffer);
    EFI_STATUS(EFIAPI* FreePool)(VOID* Buffer);

    EFI_STATUS(EFIAPI* CreateEvent)
    (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, VOID* NotifyContext,
     EFI_EVENT* Event);
    EFI_STATUS(EFIAPI* SetTimer)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
    EFI_STATUS(EFIAPI* WaitForEvent)(UINTN NumberOfEvents, EFI_EVENT* Event, UINTN* Index);
    EFI_STATUS(EFIAPI* SignalEvent)(EFI_EVENT Event);
    EFI_STATUS(EFIAPI* CloseEvent)(EFI_EVENT Event);
    EFI_STATUS(EFIAPI* CheckEvent)(EFI_EVENT Event);

    EFI_STATUS(EFIAPI* InstallProtocolInterface)
    (EFI_HANDLE* Handle, EFI_GUID* Protocol, EFI_INTERFACE_TYPE InterfaceType, VOID* Interface);
    EFI_STATUS(EFIAPI* ReinstallProtocolInterface)
    (EFI_HANDLE Handle, EFI_GUID* Protocol, VOID* OldInterface, VOID* NewInterface);
    EFI_STATUS(EFIAPI* UninstallProtocolInterface)
    (EFI_HANDLE Handle, EFI_GUID* Protocol, VOID* Interface);
    EFI_STATUS(EFIAPI* HandleProtocol)(EFI_HANDLE Handle, EFI_GUID* Protocol, VOID** Interface);
    VOID* Reserved;
    EFI_STATUS(EFIAPI* RegisterProtocolNotify)
    (EFI_GUID* Protocol, EFI_EVENT Event, VOID** Registration);
    EFI_STATUS(EFIAPI* LocateHandle)
    (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID* Protocol, VOID* SearchKey, UINTN* BufferSize,
     EFI_HANDLE* Buffer);
    EFI_STATUS(EFIAPI* LocateDevicePath)
    (EFI_GUID* Protocol, EFI_DEVICE_PATH_PROTOCOL** DevicePath, EFI_HANDLE* Device);
    EFI_STATUS(EFIAPI* InstallConfigurationTable)(EFI_GUID* Guid, VOID* Table);

    EFI_STATUS(EFIAPI* LoadImage)
    (BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle, EFI_DEVICE_PATH_PROTOCOL* DevicePath,
     VOID* SourceBuffer, UINTN SourceSize, EFI_HANDLE* ImageHandle);
    EFI_STATUS(EFIAPI* StartImage)(EFI_HANDLE ImageHandle, UINTN* ExitDataSize, CHAR16** ExitData);
    EFI_STATUS(EFIAPI* Exit)
    (EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize, CHAR16* ExitData);
    EFI_STATUS(EFIAPI* UnloadImage)(EFI_HANDLE ImageHandle);
    EFI_STATUS(EFIAPI* ExitBootServices)(EFI_HANDLE ImageHandle, UINTN MapKey);

    EFI_STATUS(EFIAPI* GetNextMonotonicCount)(UINT64* Count);
    EFI_STATUS(EFIAPI* Stall)(UINTN Microseconds);
    EFI_STATUS(EFIAPI* SetWatchdogTimer)
    (UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize, CHAR16* WatchdogData);

    EFI_STATUS(EFIAPI* ConnectController)
    (EFI_HANDLE ControllerHandle, EFI_HANDLE* DriverImageHandle,
     EFI_DEVICE_PATH_PROTOCOL* RemainingDevicePath, BOOLEAN Recursive);
    EFI_STATUS(EFIAPI* DisconnectController)
    (EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle, EFI_HANDLE ChildHandle);

    EFI_STATUS(EFIAPI* OpenProtocol)
    (EFI_HANDLE Handle, EFI_GUID* Protocol, VOID** Interface, EFI_HANDLE AgentHandle,
     EFI_HANDLE ControllerHandle, UINT32 Attributes);
    EFI_STATUS(EFIAPI* CloseProtocol)
    (EFI_HANDLE Handle, EFI_GUID* Protocol, EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);
    EFI_STATUS(EFIAPI* OpenProtocolInformation)
    (EFI_HANDLE Handle, EFI_GUID* Protocol, EFI_OPEN_PROTOCOL_INFORMATION_ENTRY** EntryBuffer,
     UINTN* EntryCount);

    EFI_STATUS(EFIAPI* ProtocolsPerHandle)
    (EFI_HANDLE Handle, EFI_GUID*** ProtocolBuffer, UINTN* ProtocolBufferCount);
    EFI_STATUS(EFIAPI* LocateHandleBuffer)
    (EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID* Protocol, VOID* SearchKey, UINTN* NoHandles,
     EFI_HANDLE** Buffer);
    EFI_STATUS(EFIAPI* LocateProtocol)(EFI_GUID* Protocol, VOID* Registration, VOID** Interface);
    // The two variadic services are never called by the program; they are
    // kept as opaque pointers so the table keeps its published layout.
    VOID* InstallMultipleProtocolInterfaces;
    VOID* UninstallMultipleProtocolInterfaces;

    EFI_STATUS(EFIAPI* CalculateCrc32)(VOID* Data, UINTN DataSize, UINT32* Crc32);
    VOID(EFIAPI* CopyMem)(VOID* Destination, VOID* Source, UINTN Length);
    VOID(EFIAPI* SetMem)(VOID* Buffer, UINTN Size, UINT8 Value);
    EFI_STATUS(EFIAPI* CreateEventEx)
    (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, const VOID* NotifyContext,
     const EFI_GUID* EventGroup, EFI_EVENT* Event);
};
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == 64, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 152, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, Exit) == 216, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 280, "boot services layout");
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 320, "boot services layout");
static_assert(sizeof(EFI_BOOT_SERVICES) == 376, "boot services layout");

struct EFI_RUNTIME_SERVICES {
    EFI_TABLE_HEADER Hdr;

    EFI_STATUS(EFIAPI* GetTime)(EFI_TIME* Time, EFI_TIME_CAPABILITIES* Capabilities);
    EFI_STATUS(EFIAPI* SetTime)(EFI_TIME* Time);
    EFI_STATUS(EFIAPI* GetWakeupTime)(BOOLEAN* Enabled, BOOLEAN* Pending, EFI_TIME* Time);
    EFI_STATUS(EFIAPI* SetWakeupTime)(BOOLEAN Enable, EFI_TIME* Time);

    EFI_STATUS(EFIAPI* SetVirtualAddressMap)
    (UINTN MemoryMapSize, UINTN DescriptorSize, UINT32 DescriptorVersion,
     EFI_MEMORY_DESCRIPTOR* VirtualMap);
    EFI_STATUS(EFIAPI* ConvertPointer)(UINTN DebugDisposition, VOID** Address);

    EFI_STATUS(EFIAPI* GetVariable)
    (CHAR16* VariableName, EFI_GUID* VendorGuid, UINT32* Attributes, UINTN* DataSize, VOID* Data);
    EFI_STATUS(EFIAPI* GetNextVariableName)
    (UINTN* VariableNameSize, CHAR16* VariableName, EFI_GUID* VendorGuid);
    EFI_STATUS(EFIAPI* SetVariable)
    (CHAR16* VariableName, EFI_GUID* VendorGuid, UINT32 Attributes, UINTN DataSize, VOID* Data);

    EFI_STATUS(EFIAPI* GetNextHighMonotonicCount)(UINT32* HighCount);
    VOID(EFIAPI* ResetSystem)
    (EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID* ResetData);

    EFI_STATUS(EFIAPI* UpdateCapsule)
    (EFI_CAPSULE_HEADER** CapsuleHeaderArray, UINTN CapsuleCount,
     EFI_PHYSICAL_ADDRESS ScatterGatherList);
    EFI_STATUS(EFIAPI* QueryCapsuleCapabilities)
    (EFI_CAPSULE_HEADER** CapsuleHeaderArray, UINTN CapsuleCount, UINT64* MaximumCapsuleSize,
     EFI_RESET_TYPE* ResetType);
    EFI_STATUS(EFIAPI* QueryVariableInfo)
    (UINT32 Attributes, UINT64* MaximumVariableStorageSize, UINT64* RemainingVariableStorageSize,
     UINT64* MaximumVariableSize);
};
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 72, "runtime services layout");
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 136, "runtime services layout");

struct EFI_SYSTEM_TABLE {
    EFI_TABLE_HEADER Hdr;
    CHAR16* FirmwareVendor;
    UINT32 FirmwareRevision;
    EFI_HANDLE ConsoleInHandle;
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* ConIn;
    EFI_HANDLE ConsoleOutHandle;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* ConOut;
    EFI_HANDLE StandardErrorHandle;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* StdErr;
    EFI_RUNTIME_SERVICES* RuntimeServices;
    EFI_BOOT_SERVICES* BootServices;
    UINTN NumberOfTableEntries;
    EFI_CONFIGURATION_TABLE* ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 64, "system table layout");
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120, "system table layout");

#define EFI_SYSTEM_TABLE_SIGNATURE 0x5453595320494249ULL
#define EFI_BOOT_SERVICES_SIGNATURE 0x56524553544f4f42ULL
#define EFI_RUNTIME_SERVICES_SIGNATURE 0x56524553544e5552ULL

// "8BE4DF61-93CA-11D2-AA0D-00E098032B8C": owner of ConOut, ConIn and the
// other architectural variables.
#define EFI_GLOBAL_VARIABLE_GUID                                                                   \
    (EFI_GUID{0x8be4df61, 0x93ca, 0x11d2, {0xaa, 0x0d, 0x00, 0xe0, 0x98, 0x03, 0x2b, 0x8c}})
