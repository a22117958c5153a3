// The UEFI protocols the program uses, with their GUIDs, laid out as the
// UEFI and UEFI Shell specifications publish them.
#pragma once

#include "platform/efi.h"

// ---- Device path -----------------------------------------------------------

struct EFI_DEVICE_PATH_PROTOCOL {
    UINT8 Type;
    UINT8 SubType;
    UINT8 Length[2];
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4, "device path node header");

#define EFI_DEVICE_PATH_PROTOCOL_GUID                                                              \
    (EFI_GUID{0x09576e91, 0x6d3f, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

// Node types and the subtypes the program and the simulated firmware build.
#define HARDWARE_DEVICE_PATH 0x01
#define ACPI_DEVICE_PATH 0x02
#define MESSAGING_DEVICE_PATH 0x03
#define MEDIA_DEVICE_PATH 0x04
#define END_DEVICE_PATH_TYPE 0x7f
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xff
#define END_INSTANCE_DEVICE_PATH_SUBTYPE 0x01

#define HW_PCI_DP 0x01
#define ACPI_DP 0x01
#define MSG_ATAPI_DP 0x01
#define MSG_SCSI_DP 0x02
#define MSG_USB_DP 0x05
#define MSG_UART_DP 0x0e
#define MSG_VENDOR_DP 0x0a
#define MSG_SATA_DP 0x12
#define MSG_NVME_NAMESPACE_DP 0x17
#define MSG_SD_DP 0x1a
#define MSG_EMMC_DP 0x1d
#define MEDIA_HARDDRIVE_DP 0x01
#define MEDIA_CDROM_DP 0x02
#define MEDIA_FILEPATH_DP 0x04

struct EFI_DEVICE_PATH_TO_TEXT_PROTOCOL {
    CHAR16*(EFIAPI* ConvertDeviceNodeToText)(const EFI_DEVICE_PATH_PROTOCOL* DeviceNode,
                                             BOOLEAN DisplayOnly, BOOLEAN AllowShortcuts);
    CHAR16*(EFIAPI* ConvertDevicePathToText)(const EFI_DEVICE_PATH_PROTOCOL* DevicePath,
                                             BOOLEAN DisplayOnly, BOOLEAN AllowShortcuts);
};

#define EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID                                                      \
    (EFI_GUID{0x8b843e20, 0x8132, 0x4852, {0x90, 0xcc, 0x55, 0x1a, 0x4e, 0x4a, 0x7f, 0x1c}})

// ---- Loaded image and shell parameters --------------------------------------

struct EFI_LOADED_IMAGE_PROTOCOL {
    UINT32 Revision;
    EFI_HANDLE ParentHandle;
    EFI_SYSTEM_TABLE* SystemTable;
    EFI_HANDLE DeviceHandle;
    EFI_DEVICE_PATH_PROTOCOL* FilePath;
    VOID* Reserved;
    UINT32 LoadOptionsSize;
    VOID* LoadOptions;
    VOID* ImageBase;
    UINT64 ImageSize;
    EFI_MEMORY_TYPE ImageCodeType;
    EFI_MEMORY_TYPE ImageDataType;
    EFI_STATUS(EFIAPI* Unload)(EFI_HANDLE ImageHandle);
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 48, "loaded image layout");

#define EFI_LOADED_IMAGE_PROTOCOL_GUID                                                             \
    (EFI_GUID{0x5b1b31a1, 0x9562, 0x11d2, {0x8e, 0x3f, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

typedef VOID* SHELL_FILE_HANDLE;

struct EFI_SHELL_PARAMETERS_PROTOCOL {
    CHAR16** Argv;
    UINTN Argc;
    SHELL_FILE_HANDLE StdIn;
    SHELL_FILE_HANDLE StdOut;
    SHELL_FILE_HANDLE StdErr;
};

#define EFI_SHELL_PARAMETERS_PROTOCOL_GUID                                                         \
    (EFI_GUID{0x752f3136, 0x4e16, 0x4fdc, {0xa2, 0x2a, 0xe5, 0xf4, 0x68, 0x12, 0xf4, 0xca}})

// ---- Text input ---------------------------------------------------------------

struct EFI_INPUT_KEY {
    UINT16 ScanCode;
    CHAR16 UnicodeChar;
};

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
    EFI_STATUS(EFIAPI* Reset)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI* ReadKeyStroke)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL* This, EFI_INPUT_KEY* Key);
    EFI_EVENT WaitForKey;
};

#define EFI_SIMPLE_TEXT_INPUT_PROTOCOL_GUID                                                        \
    (EFI_GUID{0x387477c1, 0x69c7, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

typedef UINT8 EFI_KEY_TOGGLE_STATE;

struct EFI_KEY_STATE {
    UINT32 KeyShiftState;
    EFI_KEY_TOGGLE_STATE KeyToggleState;
};

struct EFI_KEY_DATA {
    EFI_INPUT_KEY Key;
    EFI_KEY_STATE KeyState;
};

#define EFI_SHIFT_STATE_VALID 0x80000000u
#define EFI_RIGHT_SHIFT_PRESSED 0x00000001u
#define EFI_LEFT_SHIFT_PRESSED 0x00000002u
#define EFI_RIGHT_CONTROL_PRESSED 0x00000004u
#define EFI_LEFT_CONTROL_PRESSED 0x00000008u
#define EFI_RIGHT_ALT_PRESSED 0x00000010u
#define EFI_LEFT_ALT_PRESSED 0x00000020u
#define EFI_RIGHT_LOGO_PRESSED 0x00000040u
#define EFI_LEFT_LOGO_PRESSED 0x00000080u
#define EFI_MENU_KEY_PRESSED 0x00000100u
#define EFI_SYS_REQ_PRESSED 0x00000200u

typedef EFI_STATUS(EFIAPI* EFI_KEY_NOTIFY_FUNCTION)(EFI_KEY_DATA* KeyData);

struct EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL {
    EFI_STATUS(EFIAPI* Reset)
    (EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI* ReadKeyStrokeEx)
    (EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* This, EFI_KEY_DATA* KeyData);
    EFI_EVENT WaitForKeyEx;
    EFI_STATUS(EFIAPI* SetState)
    (EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* This, EFI_KEY_TOGGLE_STATE* KeyToggleState);
    EFI_STATUS(EFIAPI* RegisterKeyNotify)
    (EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* This, EFI_KEY_DATA* KeyData,
     EFI_KEY_NOTIFY_FUNCTION KeyNotificationFunction, VOID** NotifyHandle);
    EFI_STATUS(EFIAPI* UnregisterKeyNotify)
    (EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* This, VOID* NotificationHandle);
};

#define EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID                                                     \
    (EFI_GUID{0xdd9e7534, 0x7762, 0x4698, {0x8c, 0x14, 0xf5, 0x85, 0x17, 0xa6, 0x25, 0xaa}})

// ---- Text output --------------------------------------------------------------

struct SIMPLE_TEXT_OUTPUT_MODE {
    INT32 MaxMode;
    INT32 Mode;
    INT32 Attribute;
    INT32 CursorColumn;
    INT32 CursorRow;
    BOOLEAN CursorVisible;
};

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
    EFI_STATUS(EFIAPI* Reset)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI* OutputString)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, CHAR16* String);
    EFI_STATUS(EFIAPI* TestString)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, CHAR16* String);
    EFI_STATUS(EFIAPI* QueryMode)
    (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN ModeNumber, UINTN* Columns, UINTN* Rows);
    EFI_STATUS(EFIAPI* SetMode)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN ModeNumber);
    EFI_STATUS(EFIAPI* SetAttribute)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN Attribute);
    EFI_STATUS(EFIAPI* ClearScreen)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This);
    EFI_STATUS(EFIAPI* SetCursorPosition)
    (EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, UINTN Column, UINTN Row);
    EFI_STATUS(EFIAPI* EnableCursor)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* This, BOOLEAN Visible);
    SIMPLE_TEXT_OUTPUT_MODE* Mode;
};

#define EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID                                                       \
    (EFI_GUID{0x387477c2, 0x69c7, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

// ---- Graphics output ------------------------------------------------------------

typedef enum {
    PixelRedGreenBlueReserved8BitPerColor,
    PixelBlueGreenRedReserved8BitPerColor,
    PixelBitMask,
    PixelBltOnly,
    PixelFormatMax
} EFI_GRAPHICS_PIXEL_FORMAT;

struct EFI_PIXEL_BITMASK {
    UINT32 RedMask;
    UINT32 GreenMask;
    UINT32 BlueMask;
    UINT32 ReservedMask;
};

struct EFI_GRAPHICS_OUTPUT_MODE_INFORMATION {
    UINT32 Version;
    UINT32 HorizontalResolution;
    UINT32 VerticalResolution;
    EFI_GRAPHICS_PIXEL_FORMAT PixelFormat;
    EFI_PIXEL_BITMASK PixelInformation;
    UINT32 PixelsPerScanLine;
};
static_assert(sizeof(EFI_GRAPHICS_OUTPUT_MODE_INFORMATION) == 36, "GOP mode information");

struct EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE {
    UINT32 MaxMode;
    UINT32 Mode;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION* Info;
    UINTN SizeOfInfo;
    EFI_PHYSICAL_ADDRESS FrameBufferBase;
    UINTN FrameBufferSize;
};

struct EFI_GRAPHICS_OUTPUT_BLT_PIXEL {
    UINT8 Blue;
    UINT8 Green;
    UINT8 Red;
    UINT8 Reserved;
};

typedef enum {
    EfiBltVideoFill,
    EfiBltVideoToBltBuffer,
    EfiBltBufferToVideo,
    EfiBltVideoToVideo,
    EfiGraphicsOutputBltOperationMax
} EFI_GRAPHICS_OUTPUT_BLT_OPERATION;

struct EFI_GRAPHICS_OUTPUT_PROTOCOL {
    EFI_STATUS(EFIAPI* QueryMode)
    (EFI_GRAPHICS_OUTPUT_PROTOCOL* This, UINT32 ModeNumber, UINTN* SizeOfInfo,
     EFI_GRAPHICS_OUTPUT_MODE_INFORMATION** Info);
    EFI_STATUS(EFIAPI* SetMode)(EFI_GRAPHICS_OUTPUT_PROTOCOL* This, UINT32 ModeNumber);
    EFI_STATUS(EFIAPI* Blt)
    (EFI_GRAPHICS_OUTPUT_PROTOCOL* This, EFI_GRAPHICS_OUTPUT_BLT_PIXEL* BltBuffer,
     EFI_GRAPHICS_OUTPUT_BLT_OPERATION BltOperation, UINTN SourceX, UINTN SourceY,
     UINTN DestinationX, UINTN DestinationY, UINTN Width, UINTN Height, UINTN Delta);
    EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE* Mode;
};

#define EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID                                                          \
    (EFI_GUID{0x9042a9de, 0x23dc, 0x4a38, {0x96, 0xfb, 0x7a, 0xde, 0xd0, 0x80, 0x51, 0x6a}})

// ---- Serial I/O -----------------------------------------------------------------

typedef enum {
    DefaultParity,
    NoParity,
    EvenParity,
    OddParity,
    MarkParity,
    SpaceParity
} EFI_PARITY_TYPE;
typedef enum { DefaultStopBits, OneStopBit, OneFiveStopBits, TwoStopBits } EFI_STOP_BITS_TYPE;

struct SERIAL_IO_MODE {
    UINT32 ControlMask;
    UINT32 Timeout;
    UINT64 BaudRate;
    UINT32 ReceiveFifoDepth;
    UINT32 DataBits;
    UINT32 Parity;
    UINT32 StopBits;
};

struct EFI_SERIAL_IO_PROTOCOL {
    UINT32 Revision;
    EFI_STATUS(EFIAPI* Reset)(EFI_SERIAL_IO_PROTOCOL* This);
    EFI_STATUS(EFIAPI* SetAttributes)
    (EFI_SERIAL_IO_PROTOCOL* This, UINT64 BaudRate, UINT32 ReceiveFifoDepth, UINT32 Timeout,
     EFI_PARITY_TYPE Parity, UINT8 DataBits, EFI_STOP_BITS_TYPE StopBits);
    EFI_STATUS(EFIAPI* SetControl)(EFI_SERIAL_IO_PROTOCOL* This, UINT32 Control);
    EFI_STATUS(EFIAPI* GetControl)(EFI_SERIAL_IO_PROTOCOL* This, UINT32* Control);
    EFI_STATUS(EFIAPI* Write)(EFI_SERIAL_IO_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* Read)(EFI_SERIAL_IO_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer);
    SERIAL_IO_MODE* Mode;
    const EFI_GUID* DeviceTypeGuid;
};

#define EFI_SERIAL_IO_PROTOCOL_GUID                                                                \
    (EFI_GUID{0xbb25cf6f, 0xf1d4, 0x11d2, {0x9a, 0x0c, 0x00, 0x90, 0x27, 0x3f, 0xc1, 0xfd}})

// ---- Block I/O ------------------------------------------------------------------

struct EFI_BLOCK_IO_MEDIA {
    UINT32 MediaId;
    BOOLEAN RemovableMedia;
    BOOLEAN MediaPresent;
    BOOLEAN LogicalPartition;
    BOOLEAN ReadOnly;
    BOOLEAN WriteCaching;
    UINT32 BlockSize;
    UINT32 IoAlign;
    EFI_LBA LastBlock;
    EFI_LBA LowestAlignedLba;
    UINT32 LogicalBlocksPerPhysicalBlock;
    UINT32 OptimalTransferLengthGranularity;
};
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, LastBlock) == 24, "block I/O media layout");

struct EFI_BLOCK_IO_PROTOCOL {
    UINT64 Revision;
    EFI_BLOCK_IO_MEDIA* Media;
    EFI_STATUS(EFIAPI* Reset)(EFI_BLOCK_IO_PROTOCOL* This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI* ReadBlocks)
    (EFI_BLOCK_IO_PROTOCOL* This, UINT32 MediaId, EFI_LBA Lba, UINTN BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* WriteBlocks)
    (EFI_BLOCK_IO_PROTOCOL* This, UINT32 MediaId, EFI_LBA Lba, UINTN BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* FlushBlocks)(EFI_BLOCK_IO_PROTOCOL* This);
};

#define EFI_BLOCK_IO_PROTOCOL_GUID                                                                 \
    (EFI_GUID{0x964e5b21, 0x6459, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

#define EFI_BLOCK_IO_PROTOCOL_REVISION3 0x0002001fULL

// Block I/O 2: the same medium with requests that complete later. A token
// with an event makes a request non-blocking; the driver sets the
// transaction status and signals the event when it is done. Without a
// token (or with a null event) the request blocks as Block I/O's does.
struct EFI_BLOCK_IO2_TOKEN {
    EFI_EVENT Event;
    EFI_STATUS TransactionStatus;
};

struct EFI_BLOCK_IO2_PROTOCOL {
    EFI_BLOCK_IO_MEDIA* Media;
    EFI_STATUS(EFIAPI* Reset)(EFI_BLOCK_IO2_PROTOCOL* This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI* ReadBlocksEx)
    (EFI_BLOCK_IO2_PROTOCOL* This, UINT32 MediaId, EFI_LBA Lba, EFI_BLOCK_IO2_TOKEN* Token,
     UINTN BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* WriteBlocksEx)
    (EFI_BLOCK_IO2_PROTOCOL* This, UINT32 MediaId, EFI_LBA Lba, EFI_BLOCK_IO2_TOKEN* Token,
     UINTN BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* FlushBlocksEx)(EFI_BLOCK_IO2_PROTOCOL* This, EFI_BLOCK_IO2_TOKEN* Token);
};
static_assert(offsetof(EFI_BLOCK_IO2_PROTOCOL, FlushBlocksEx) == 32, "block I/O 2 layout");
static_assert(sizeof(EFI_BLOCK_IO2_TOKEN) == 16, "block I/O 2 token layout");

#define EFI_BLOCK_IO2_PROTOCOL_GUID                                                                \
    (EFI_GUID{0xa77b2472, 0xe282, 0x4e9f, {0xa2, 0x45, 0xc2, 0xc0, 0xe2, 0x7b, 0xbc, 0xc1}})

// ---- Random numbers ---------------------------------------------------------------

typedef EFI_GUID EFI_RNG_ALGORITHM;

struct EFI_RNG_PROTOCOL {
    EFI_STATUS(EFIAPI* GetInfo)
    (EFI_RNG_PROTOCOL* This, UINTN* RNGAlgorithmListSize, EFI_RNG_ALGORITHM* RNGAlgorithmList);
    EFI_STATUS(EFIAPI* GetRNG)
    (EFI_RNG_PROTOCOL* This, EFI_RNG_ALGORITHM* RNGAlgorithm, UINTN RNGValueLength,
     UINT8* RNGValue);
};

#define EFI_RNG_PROTOCOL_GUID                                                                      \
    (EFI_GUID{0x3152bca5, 0xeade, 0x433d, {0x86, 0x2e, 0xc0, 0x1c, 0xdc, 0x29, 0x1f, 0x44}})

// ---- File system ------------------------------------------------------------------

struct EFI_FILE_PROTOCOL;

struct EFI_FILE_IO_TOKEN {
    EFI_EVENT Event;
    EFI_STATUS Status;
    UINTN BufferSize;
    VOID* Buffer;
};

struct EFI_FILE_PROTOCOL {
    UINT64 Revision;
    EFI_STATUS(EFIAPI* Open)
    (EFI_FILE_PROTOCOL* This, EFI_FILE_PROTOCOL** NewHandle, CHAR16* FileName, UINT64 OpenMode,
     UINT64 Attributes);
    EFI_STATUS(EFIAPI* Close)(EFI_FILE_PROTOCOL* This);
    EFI_STATUS(EFIAPI* Delete)(EFI_FILE_PROTOCOL* This);
    EFI_STATUS(EFIAPI* Read)(EFI_FILE_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* Write)(EFI_FILE_PROTOCOL* This, UINTN* BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* GetPosition)(EFI_FILE_PROTOCOL* This, UINT64* Position);
    EFI_STATUS(EFIAPI* SetPosition)(EFI_FILE_PROTOCOL* This, UINT64 Position);
    EFI_STATUS(EFIAPI* GetInfo)
    (EFI_FILE_PROTOCOL* This, EFI_GUID* InformationType, UINTN* BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* SetInfo)
    (EFI_FILE_PROTOCOL* This, EFI_GUID* InformationType, UINTN BufferSize, VOID* Buffer);
    EFI_STATUS(EFIAPI* Flush)(EFI_FILE_PROTOCOL* This);
    EFI_STATUS(EFIAPI* OpenEx)
    (EFI_FILE_PROTOCOL* This, EFI_FILE_PROTOCOL** NewHandle, CHAR16* FileName, UINT64 OpenMode,
     UINT64 Attributes, EFI_FILE_IO_TOKEN* Token);
    EFI_STATUS(EFIAPI* ReadEx)(EFI_FILE_PROTOCOL* This, EFI_FILE_IO_TOKEN* Token);
    EFI_STATUS(EFIAPI* WriteEx)(EFI_FILE_PROTOCOL* This, EFI_FILE_IO_TOKEN* Token);
    EFI_STATUS(EFIAPI* FlushEx)(EFI_FILE_PROTOCOL* This, EFI_FILE_IO_TOKEN* Token);
};

#define EFI_FILE_PROTOCOL_REVISION 0x00010000ULL
#define EFI_FILE_PROTOCOL_REVISION2 0x00020000ULL

#define EFI_FILE_MODE_READ 0x0000000000000001ULL
#define EFI_FILE_MODE_WRITE 0x0000000000000002ULL
#define EFI_FILE_MODE_CREATE 0x8000000000000000ULL

#define EFI_FILE_READ_ONLY 0x01ULL
#define EFI_FILE_HIDDEN 0x02ULL
#define EFI_FILE_SYSTEM 0x04ULL
#define EFI_FILE_RESERVED 0x08ULL
#define EFI_FILE_DIRECTORY 0x10ULL
#define EFI_FILE_ARCHIVE 0x20ULL
#define EFI_FILE_VALID_ATTR 0x37ULL

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
    UINT64 Revision;
    EFI_STATUS(EFIAPI* OpenVolume)(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* This, EFI_FILE_PROTOCOL** Root);
};

#define EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID                                                       \
    (EFI_GUID{0x964e5b22, 0x6459, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

// Variable-length records: FileName / VolumeLabel run to the end of Size.
struct EFI_FILE_INFO {
    UINT64 Size;
    UINT64 FileSize;
    UINT64 PhysicalSize;
    EFI_TIME CreateTime;
    EFI_TIME LastAccessTime;
    EFI_TIME ModificationTime;
    UINT64 Attribute;
    CHAR16 FileName[1];
};
#define EFI_FILE_INFO_NAME_OFFSET 80
static_assert(offsetof(EFI_FILE_INFO, FileName) == EFI_FILE_INFO_NAME_OFFSET, "file info layout");

#define EFI_FILE_INFO_ID                                                                           \
    (EFI_GUID{0x09576e92, 0x6d3f, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

struct EFI_FILE_SYSTEM_INFO {
    UINT64 Size;
    BOOLEAN ReadOnly;
    UINT64 VolumeSize;
    UINT64 FreeSpace;
    UINT32 BlockSize;
    CHAR16 VolumeLabel[1];
};
#define EFI_FILE_SYSTEM_INFO_LABEL_OFFSET 36
static_assert(offsetof(EFI_FILE_SYSTEM_INFO, VolumeLabel) == EFI_FILE_SYSTEM_INFO_LABEL_OFFSET,
              "file system info layout");

#define EFI_FILE_SYSTEM_INFO_ID                                                                    \
    (EFI_GUID{0x09576e93, 0x6d3f, 0x11d2, {0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b}})

// ---- Pointers ---------------------------------------------------------------------

struct EFI_SIMPLE_POINTER_STATE {
    INT32 RelativeMovementX;
    INT32 RelativeMovementY;
    INT32 RelativeMovementZ;
    BOOLEAN LeftButton;
    BOOLEAN RightButton;
};

struct EFI_SIMPLE_POINTER_MODE {
    UINT64 ResolutionX;
    UINT64 ResolutionY;
    UINT64 ResolutionZ;
    BOOLEAN LeftButton;
    BOOLEAN RightButton;
};

struct EFI_SIMPLE_POINTER_PROTOCOL {
    EFI_STATUS(EFIAPI* Reset)(EFI_SIMPLE_POINTER_PROTOCOL* This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI* GetState)
    (EFI_SIMPLE_POINTER_PROTOCOL* This, EFI_SIMPLE_POINTER_STATE* State);
    EFI_EVENT WaitForInput;
    EFI_SIMPLE_POINTER_MODE* Mode;
};

#define EFI_SIMPLE_POINTER_PROTOCOL_GUID                                                           \
    (EFI_GUID{0x31878c87, 0x0b75, 0x11d5, {0x9a, 0x4f, 0x00, 0x90, 0x27, 0x3f, 0xc1, 0x4d}})

struct EFI_ABSOLUTE_POINTER_STATE {
    UINT64 CurrentX;
    UINT64 CurrentY;
    UINT64 CurrentZ;
    UINT32 ActiveButtons;
};

struct EFI_ABSOLUTE_POINTER_MODE {
    UINT64 AbsoluteMinX;
    UINT64 AbsoluteMinY;
    UINT64 AbsoluteMinZ;
    UINT64 AbsoluteMaxX;
    UINT64 AbsoluteMaxY;
    UINT64 AbsoluteMaxZ;
    UINT32 Attributes;
};

#define EFI_ABSP_SupportsAltActive 0x00000001u
#define EFI_ABSP_SupportsPressureAsZ 0x00000002u
#define EFI_ABSP_TouchActive 0x00000001u
#define EFI_ABS_AltActive 0x00000002u

struct EFI_ABSOLUTE_POINTER_PROTOCOL {
    EFI_STATUS(EFIAPI* Reset)(EFI_ABSOLUTE_POINTER_PROTOCOL* This, BOOLEAN ExtendedVerification);
    EFI_STATUS(EFIAPI* GetState)
    (EFI_ABSOLUTE_POINTER_PROTOCOL* This, EFI_ABSOLUTE_POINTER_STATE* State);
    EFI_EVENT WaitForInput;
    EFI_ABSOLUTE_POINTER_MODE* Mode;
};

#define EFI_ABSOLUTE_POINTER_PROTOCOL_GUID                                                         \
    (EFI_GUID{0x8d59d32b, 0xc655, 0x4ae9, {0x9b, 0x15, 0xf2, 0x59, 0x04, 0x99, 0x2a, 0x43}})

// ---- USB --------------------------------------------------------------------------

#pragma pack(push, 1)
struct EFI_USB_DEVICE_REQUEST {
    UINT8 RequestType;
    UINT8 Request;
    UINT16 Value;
    UINT16 Index;
    UINT16 Length;
};

struct EFI_USB_DEVICE_DESCRIPTOR {
    UINT8 Length;
    UINT8 DescriptorType;
    UINT16 BcdUSB;
    UINT8 DeviceClass;
    UINT8 DeviceSubClass;
    UINT8 DeviceProtocol;
    UINT8 MaxPacketSize0;
    UINT16 IdVendor;
    UINT16 IdProduct;
    UINT16 BcdDevice;
    UINT8 StrManufacturer;
    UINT8 StrProduct;
    UINT8 StrSerialNumber;
    UINT8 NumConfigurations;
};

struct EFI_USB_CONFIG_DESCRIPTOR {
    UINT8 Length;
    UINT8 DescriptorType;
    UINT16 TotalLength;
    UINT8 NumInterfaces;
    UINT8 ConfigurationValue;
    UINT8 Configuration;
    UINT8 Attributes;
    UINT8 MaxPower;
};

struct EFI_USB_INTERFACE_DESCRIPTOR {
    UINT8 Length;
    UINT8 DescriptorType;
    UINT8 InterfaceNumber;
    UINT8 AlternateSetting;
    UINT8 NumEndpoints;
    UINT8 InterfaceClass;
    UINT8 InterfaceSubClass;
    UINT8 InterfaceProtocol;
    UINT8 Interface;
};

struct EFI_USB_ENDPOINT_DESCRIPTOR {
    UINT8 Length;
    UINT8 DescriptorType;
    UINT8 EndpointAddress;
    UINT8 Attributes;
    UINT16 MaxPacketSize;
    UINT8 Interval;
};
#pragma pack(pop)
static_assert(sizeof(EFI_USB_DEVICE_REQUEST) == 8, "USB setup packet");
static_assert(sizeof(EFI_USB_INTERFACE_DESCRIPTOR) == 9, "USB interface descriptor");
static_assert(sizeof(EFI_USB_ENDPOINT_DESCRIPTOR) == 7, "USB endpoint descriptor");

typedef enum { EfiUsbDataIn, EfiUsbDataOut, EfiUsbNoData } EFI_USB_DATA_DIRECTION;

typedef EFI_STATUS(EFIAPI* EFI_ASYNC_USB_TRANSFER_CALLBACK)(VOID* Data, UINTN DataLength,
                                                            VOID* Context, UINT32 Status);

struct EFI_USB_IO_PROTOCOL {
    EFI_STATUS(EFIAPI* UsbControlTransfer)
    (EFI_USB_IO_PROTOCOL* This, EFI_USB_DEVICE_REQUEST* Request, EFI_USB_DATA_DIRECTION Direction,
     UINT32 Timeout, VOID* Data, UINTN DataLength, UINT32* Status);
    EFI_STATUS(EFIAPI* UsbBulkTransfer)
    (EFI_USB_IO_PROTOCOL* This, UINT8 DeviceEndpoint, VOID* Data, UINTN* DataLength, UINTN Timeout,
     UINT32* Status);
    EFI_STATUS(EFIAPI* UsbAsyncInterruptTransfer)
    (EFI_USB_IO_PROTOCOL* This, UINT8 DeviceEndpoint, BOOLEAN IsNewTransfer, UINTN PollingInterval,
     UINTN DataLength, EFI_ASYNC_USB_TRANSFER_CALLBACK InterruptCallBack, VOID* Context);
    EFI_STATUS(EFIAPI* UsbSyncInterruptTransfer)
    (EFI_USB_IO_PROTOCOL* This, UINT8 DeviceEndpoint, VOID* Data, UINTN* DataLength, UINTN Timeout,
     UINT32* Status);
    EFI_STATUS(EFIAPI* UsbIsochronousTransfer)
    (EFI_USB_IO_PROTOCOL* This, UINT8 DeviceEndpoint, VOID* Data, UINTN DataLength, UINT32* Status);
    EFI_STATUS(EFIAPI* UsbAsyncIsochronousTransfer)
    (EFI_USB_IO_PROTOCOL* This, UINT8 DeviceEndpoint, VOID* Data, UINTN DataLength,
     EFI_ASYNC_USB_TRANSFER_CALLBACK IsochronousCallBack, VOID* Context);
    EFI_STATUS(EFIAPI* UsbGetDeviceDescriptor)
    (EFI_USB_IO_PROTOCOL* This, EFI_USB_DEVICE_DESCRIPTOR* DeviceDescriptor);
    EFI_STATUS(EFIAPI* UsbGetConfigDescriptor)
    (EFI_USB_IO_PROTOCOL* This, EFI_USB_CONFIG_DESCRIPTOR* ConfigurationDescriptor);
    EFI_STATUS(EFIAPI* UsbGetInterfaceDescriptor)
    (EFI_USB_IO_PROTOCOL* This, EFI_USB_INTERFACE_DESCRIPTOR* InterfaceDescriptor);
    EFI_STATUS(EFIAPI* UsbGetEndpointDescriptor)
    (EFI_USB_IO_PROTOCOL* This, UINT8 EndpointIndex,
     EFI_USB_ENDPOINT_DESCRIPTOR* EndpointDescriptor);
    EFI_STATUS(EFIAPI* UsbGetStringDescriptor)
    (EFI_USB_IO_PROTOCOL* This, UINT16 LangID, UINT8 StringID, CHAR16** String);
    EFI_STATUS(EFIAPI* UsbGetSupportedLanguages)
    (EFI_USB_IO_PROTOCOL* This, UINT16** LangIDTable, UINT16* TableSize);
    EFI_STATUS(EFIAPI* UsbPortReset)(EFI_USB_IO_PROTOCOL* This);
};

#define EFI_USB_IO_PROTOCOL_GUID                                                                   \
    (EFI_GUID{0x2b2f68d6, 0x0cd2, 0x44cf, {0x8e, 0x8b, 0xbb, 0xa2, 0x0b, 0x1b, 0x5b, 0x75}})

// The program only locates host controllers and connects them, so their
// transfer services are opaque; the layout is kept intact.
typedef VOID* EFI_USB2_HC_SERVICE;

struct EFI_USB2_HC_PROTOCOL {
    EFI_USB2_HC_SERVICE GetCapability;
    EFI_USB2_HC_SERVICE Reset;
    EFI_USB2_HC_SERVICE GetState;
    EFI_USB2_HC_SERVICE SetState;
    EFI_USB2_HC_SERVICE ControlTransfer;
    EFI_USB2_HC_SERVICE BulkTransfer;
    EFI_USB2_HC_SERVICE AsyncInterruptTransfer;
    EFI_USB2_HC_SERVICE SyncInterruptTransfer;
    EFI_USB2_HC_SERVICE IsochronousTransfer;
    EFI_USB2_HC_SERVICE AsyncIsochronousTransfer;
    EFI_USB2_HC_SERVICE GetRootHubPortStatus;
    EFI_USB2_HC_SERVICE SetRootHubPortFeature;
    EFI_USB2_HC_SERVICE ClearRootHubPortFeature;
    UINT16 MajorRevision;
    UINT16 MinorRevision;
};

#define EFI_USB2_HC_PROTOCOL_GUID                                                                  \
    (EFI_GUID{0x3e745226, 0x9818, 0x45b6, {0xa2, 0xac, 0xd7, 0xcd, 0x0e, 0x8b, 0xa2, 0xbc}})
