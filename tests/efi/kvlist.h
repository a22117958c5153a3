// The listing of the kvlist test image: what disk discovery and the volume
// scan found, one line per disk and one per volume. The same code runs in a
// firmware image under OVMF and on the simulated firmware, so the two
// listings can be compared line for line.
#pragma once

namespace kv {

// Finds the loaded image as start-up does, scans the volumes and the disks
// and writes the listing to the console:
//
//     kvlist start
//     disk blk0 kind=SATA size=50331648 bs=512 ro=0 here=0 path=PciRoot(0x0)/...
//     volume fs0 label="KVESP" ro=0 removable=0 boot=1 path=PciRoot(0x0)/...
//     kvlist done
//
// Disks come first, each group in the order the program keeps them in.
void kvlist_print();

} // namespace kv
