// Binary device paths for simulated devices, and the firmware's
// device-path-to-text service over them.
//
// The converter writes what OVMF writes for the node types built here (hex
// digits upper-case, numbers as 0x...), for example
//     PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)/HD(1,MBR,0xBE1AFDFA,0x3F,0xFBFC1)
// and any other node in the generic form, e.g. Msg(11,0A0B) or Path(9,1,00).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace sim {

using PathBytes = std::vector<uint8_t>;

// Node builders; each returns one node with its header.
namespace dp {
PathBytes node(uint8_t type, uint8_t subtype, const PathBytes& data);
PathBytes pci_root(uint32_t uid = 0);
PathBytes pci(uint8_t device, uint8_t function);
PathBytes sata(uint16_t hba_port, uint16_t multiplier_port = 0xFFFF, uint16_t lun = 0);
PathBytes nvme(uint32_t namespace_id, uint64_t eui64 = 0);
PathBytes usb(uint8_t parent_port, uint8_t interface = 0);
PathBytes scsi(uint16_t pun, uint16_t lun = 0);
PathBytes ata(bool secondary, bool slave, uint16_t lun = 0);
PathBytes sd(uint8_t slot);
PathBytes emmc(uint8_t slot);
PathBytes hard_drive_mbr(uint32_t number, uint64_t start, uint64_t size, uint32_t signature);
PathBytes hard_drive_gpt(uint32_t number, uint64_t start, uint64_t size, const uint8_t guid[16]);
PathBytes file_path(const std::u16string& name);
PathBytes end_instance();
PathBytes end();
// The nodes one after the other, closed with the end node.
PathBytes path(std::initializer_list<PathBytes> nodes);
// `path` without its end node, ready for more nodes.
PathBytes without_end(const PathBytes& path);
} // namespace dp

// The text the simulated converter gives a whole path, or false when the
// path is malformed (a node shorter than its header, or no end node within
// 64 KiB), where the firmware returns null.
bool device_path_text(const void* path, std::string* text);

// Installs the EFI_DEVICE_PATH_TO_TEXT_PROTOCOL on a handle of its own, or
// removes it. After reset it is absent, and adding the first simulated disk
// installs it unless a test has switched it off since the reset. The texts
// it returns come from the pool; the caller frees them with FreePool.
void set_device_path_to_text(bool present);

// Conversions asked of the installed protocol since the reset.
uint64_t device_path_to_text_calls();

} // namespace sim
