// korvane-sim: the whole program on the simulated firmware, with disk images
// as its disks, a host directory as the volume it was started from, and the
// terminal (or a key script) as its console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/efi.h"
#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/key_script.h"

namespace sim {

extern const char kRunnerUsage[];

// Exit statuses of the runner itself.
constexpr int kExitRunnerError = 2;
constexpr int kExitKeysExhausted = 3;

struct ImageArg {
    std::string path;
    bool read_only = false;
    uint32_t block_size = 512;
    // fs0 lies on this disk: the program counts it as the disk it was
    // started from.
    bool boot = false;
    // A failing device: every read (or write) through Block I/O fails with
    // a device error.
    bool fail_reads = false;
    bool fail_writes = false;
    // :failwrite=N: the N-th write and every one after it fail, as at a
    // power cut; 0 when not asked for.
    uint64_t fail_write_from = 0;
    // :badblock=LBA (repeatable): reads of these blocks fail.
    std::vector<uint64_t> bad_blocks;
};

struct RunnerOptions {
    std::vector<ImageArg> images;
    std::string fs_dir; // empty: a fresh temporary directory
    bool fs_read_only = false;
    bool no_fs = false; // started from no volume at all
    size_t columns = 0; // 0: not asked for
    size_t rows = 0;
    // The simulated screen's graphics mode (any size, below 640 x 480
    // included), or none at all.
    uint32_t screen_width = kDefaultDisplayWidth;
    uint32_t screen_height = kDefaultDisplayHeight;
    bool no_screen = false;
    std::string screenshot; // PNG of the screen at the end; empty: none
    // The graphical front end on the simulated screen; without it the
    // program finds no graphics output and runs its text front end.
    bool gui = false;
    bool trace = false;          // --gui: the screen trace on standard output
    std::string screenshots_dir; // --gui: every rendered frame as a PNG there
    bool scripted = false;
    std::string keys;
    bool dump_screen = false;  // the last screen
    bool dump_screens = false; // every screen the program waits on, and the last
    bool help = false;
};

// "PATH[:ro][:BLOCKSIZE][:boot][:failread][:failwrite[=N]][:badblock=LBA]", the suffixes in
// any order.
bool parse_image_arg(const std::string& text, ImageArg* arg, std::string* error);
// The arguments after the program name. False with a one-line *error.
bool parse_runner_args(const std::vector<std::string>& args, RunnerOptions* options,
                       std::string* error);

// Checks an image before anything is attached: it must be a regular file
// holding a whole, non-zero number of blocks.
bool check_image(const ImageArg& image, std::string* error);
// DIR must be a directory the runner can create files in.
bool check_volume_dir(const std::string& dir, std::string* error);

// Console modes: 80 x 25 as mode 0, and the asked size beside it as the one
// the program may choose.
void set_console_size(size_t columns, size_t rows);

// On a freshly reset firmware: the images as whole disks in the order given
// (the program then names them in that order), each with the partition
// handles firmware makes. An image that cannot be opened for writing is
// attached read-only and *warnings says so. The handles, in order.
bool attach_images(const std::vector<ImageArg>& images, std::vector<EFI_HANDLE>* disks,
                   std::string* warnings, std::string* error);
// DIR as a file-system volume, and the loaded image's device: the program
// was started from it, so it is fs0's volume. Its device path lies under
// image `boot_index`'s disk (a partition of it) when that is not negative,
// else under no disk, and then no disk is the one the program came from.
// When `boot_disk` (that image's handle) has partitions, the volume goes
// onto the first one's handle, as firmware's file system driver would put
// it, instead of a handle of its own.
EFI_HANDLE attach_start_volume(const std::string& dir, int boot_index = -1, bool read_only = false,
                               EFI_HANDLE boot_disk = nullptr);

// What a run of the program comes to as a process exit status: 0 for
// success (warnings included), an error status's low byte (1 if that is 0),
// kExitKeysExhausted when the keys ran out while the program waited.
int exit_status(const RunResult& result, bool keys_exhausted);

using OutputSink = std::function<void(const std::string&)>;

struct SessionEnd {
    RunResult result;
    bool keys_exhausted = false;
};

// Runs entry(ctx) as the loaded image with keys from a script. One key is
// handed over each time the program waits for a key with none queued; a key
// with a poll_read count also goes to the read that count names, waiting or
// not. With every_frame, the screen is written to `out` before each key
// handed to a wait; with last_frame (or every_frame), once more at the end.
// Frames are separated by a line "----". Once the keys are used up, the
// next wait ends the run.
SessionEnd run_scripted(const std::vector<ScriptKey>& keys, bool every_frame, bool last_frame,
                        const OutputSink& out, EFI_STATUS (*entry)(void*), void* ctx);

// Runs entry(ctx) as the loaded image on the terminal: keys from input_fd,
// the screen drawn on output_fd (clipped to the terminal's size) whenever
// the program waits for a key and, while it only polls, a few times a
// second. Stalls take real time. The end of input ends the run as an
// exhausted script does.
SessionEnd run_interactive(int input_fd, int output_fd, EFI_STATUS (*entry)(void*), void* ctx);

// The devices of a --gui run: a serial console that carries the screen
// trace, and an absolute pointer whose range is 0..65535 on both axes.
struct GuiDevices {
    EFI_HANDLE serial = nullptr;
    EFI_HANDLE pointer = nullptr;
};
GuiDevices attach_gui_devices();

struct GuiRunOptions {
    bool trace = false;
    std::string screenshot;      // the last picture the program showed
    std::string screenshots_dir; // every rendered frame, frame-0000.png on
};

// Runs entry(ctx) with the script's keys and pointer tokens on the simulated
// screen. Each time the program waits for input, once the pointer has
// delivered all it was given, the next token is handed over. click:LABEL
// aims at the centre the screen trace gave last for that label. *error is
// set (and the run ended) when a label is nowhere on the screen or a
// picture cannot be saved.
SessionEnd run_scripted_gui(const std::vector<ScriptKey>& keys, const GuiDevices& devices,
                            const GuiRunOptions& options, const OutputSink& out,
                            EFI_STATUS (*entry)(void*), void* ctx, std::string* error);

// The whole runner, from the command line to the exit status.
int runner_main(int argc, char** argv);

} // namespace sim
