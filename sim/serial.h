// A simulated serial port (Serial I/O) that keeps every byte written to it,
// and the "ConOut" variable that names the consoles.
//
//     EFI_HANDLE port = sim::add_serial_port();
//     sim::set_console_out({sim::gop_console_path(), sim::serial_console_path()});
//     ... the program writes ...
//     std::string bytes = sim::serial_output(port);
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/efi.h"
#include "sim/device_path.h"

namespace sim {

// The port's device path, as the firmware's serial driver builds it: the
// UART's ACPI node under the LPC bridge, then the UART node with the line
// settings. index tells several ports apart (ACPI UID).
PathBytes serial_port_path(uint32_t index = 0);
// A UART device path node: 19 bytes, type 3, subtype 14.
PathBytes uart_node(uint64_t baud = 115200, uint8_t data_bits = 8, uint8_t parity = 1,
                    uint8_t stop_bits = 1);
// The terminal on that port as ConOut names it: the port's path followed by
// the PC-ANSI terminal type.
PathBytes serial_console_path(uint32_t index = 0);
// A console on the graphics device (PciRoot/Pci(0x1,0x0)/AcpiAdr).
PathBytes gop_console_path();

// Installs Serial I/O with the device path (empty: serial_port_path(index
// of this port)) on a new handle.
EFI_HANDLE add_serial_port(const PathBytes& path = {});
// Every byte written so far.
std::string serial_output(EFI_HANDLE port);
// Write calls so far.
size_t serial_writes(EFI_HANDLE port);
// Called with the bytes of every successful Write, as they arrive.
void set_serial_write_hook(EFI_HANDLE port, std::function<void(const std::string&)> hook);
// Each Write then lasts that long per byte on the virtual clock, as on a
// UART that sends at its line rate (115200 baud: 87 us, 870): timers fall
// due on the way, and keys typed meanwhile wait. 0 (the default): no time.
void set_serial_byte_time(EFI_HANDLE port, uint64_t per_byte_100ns);
// While set, Write fails with EFI_DEVICE_ERROR and keeps nothing.
void fail_serial_writes(EFI_HANDLE port, bool fail);

// "ConOut" (EFI_GLOBAL_VARIABLE) as a multi-instance path: each instance's
// end node becomes an end-of-instance node, the last one the end of the
// whole path. Each instance is a whole path with its end node.
std::vector<uint8_t> console_variable(const std::vector<PathBytes>& instances);
void set_console_out(const std::vector<PathBytes>& instances);

} // namespace sim
