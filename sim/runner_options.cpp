// The runner's command line.
#include <cerrno>
#include <cstdlib>

#include "sim/runner.h"

namespace sim {

const char kRunnerUsage[] =
    R"(usage: korvane-sim [options] [IMAGE[:ro][:4096][:boot][:failread][:failwrite[=N]]
                    [:badblock=LBA] ...]

Runs Korvane on a simulated UEFI firmware in this terminal. Each IMAGE, a raw
disk image file, becomes a disk, in the order given: :ro attaches it
write-protected, :4096 (or any power of two from 512 to 65536) sets its block
size (default 512). The program is started from the file-system volume fs0,
a host directory, where backups go; with :boot on one image, fs0 counts as a
partition of that disk, which the program then refuses to change. :failread
and :failwrite make every read or write of the disk fail, as on a failing
drive; :failwrite=N lets the first N-1 writes through and fails the N-th and
every later one, as a power cut would; :badblock=LBA (repeatable) makes
every read of that block fail.

options:
  --fs DIR        the directory that is fs0 (default: a fresh temporary
                  directory, removed at the end when nothing was saved there)
  --fs-ro         fs0 is write-protected
  --no-fs         no file-system volume at all; the program was started from
                  elsewhere
  --size WxH      a console mode of W columns and H rows beside the 80x25 of
                  mode 0 (default: the terminal's size; 80x25 with --keys);
                  with --gui the screen's size in pixels
  --gui           the graphical front end on a simulated screen (needs
                  --keys); without it the firmware has no graphics output
                  and the program runs its text front end
  --screen WxH    with --gui: the screen, W x H pixels (default 1280x800)
  --no-screen     no graphics output at all (the default without --gui)
  --screenshot FILE
                  with --gui: save the last picture shown as a PNG file
  --screenshots DIR
                  with --gui: save every rendered frame in DIR as
                  frame-0000.png, frame-0001.png, ...
  --trace         with --gui: write the screen trace ("gui: ..." lines) to
                  standard output
  --keys SCRIPT   take the keys from SCRIPT instead of the terminal
  --dump-screen   with --keys: print the last screen as text at the end
  --dump-screens  with --keys: print the screen each time the program waits
                  for a key, and the last one; frames are separated by "----"
  -h, --help      show this text

SCRIPT is a comma-separated list of keys:
  y               a single character is that character's key
  enter esc tab bs del up down left right home end pgup pgdn f5 space
  ctrl-X          X (a character or one of the names above) with Ctrl held
  =TEXT           types TEXT one character at a time (=512M)
  pollN-KEY       KEY also goes to the program's Nth read of the keyboard
                  that finds no key (counted from the key before), even a
                  read that does not wait; poll-KEY is poll1-KEY. Other keys
                  are handed over only when the program waits for one. A
                  wipe reads without waiting before its first chunk and
                  after each chunk: y,poll2-esc,y confirms a wipe, stops it
                  after its first chunk and confirms the stop.
  move=X,Y        with --gui: the pointer to pixel X,Y of the screen
  click=X,Y       with --gui: the pointer there and a click of the left
                  button
  click:LABEL     with --gui: a click at the centre the screen trace gave
                  last for the button, dialog button or list item LABEL
                  (click:New table, click:GPT, click:Yes)
  \, \\           a comma and a backslash inside a key
Key names and the ctrl- and poll prefixes ignore case. When the keys are used
up and the program waits for another, the run ends. With --gui each token is
handed over when the program waits for input and the pointer has delivered
the previous click; a pollN- count starts once it has, too.

Interactively, the terminal's keys are the console's; Ctrl-C ends the run.

Exit status: the program's own (0, or the low byte of its error status, 1 when
that is 0); 2 for a bad command line, a missing image, an image that is not a
whole number of blocks or a directory that cannot be written; 3 when the keys
ran out, or the input ended, while the program waited for a key.
)";

namespace {

constexpr size_t kMaxConsoleSide = 1000;
constexpr uint32_t kMaxBlockSize = 65536;
constexpr size_t kMaxScreenSide = 16384;

bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool parse_count(const std::string& s, size_t* out) {
    if (!all_digits(s) || s.size() > 6) return false;
    *out = size_t(std::strtoul(s.c_str(), nullptr, 10));
    return true;
}

bool parse_size_option(const std::string& text, size_t* columns, size_t* rows) {
    size_t x = text.find_first_of("xX");
    if (x == std::string::npos) return false;
    if (!parse_count(text.substr(0, x), columns) || !parse_count(text.substr(x + 1), rows))
        return false;
    return *columns >= 1 && *rows >= 1 && *columns <= kMaxConsoleSide && *rows <= kMaxConsoleSide;
}

bool parse_screen_option(const std::string& text, uint32_t* width, uint32_t* height) {
    size_t w = 0, h = 0;
    size_t x = text.find_first_of("xX");
    if (x == std::string::npos) return false;
    if (!parse_count(text.substr(0, x), &w) || !parse_count(text.substr(x + 1), &h)) return false;
    if (w < 1 || h < 1 || w > kMaxScreenSide || h > kMaxScreenSide) return false;
    *width = uint32_t(w);
    *height = uint32_t(h);
    return true;
}

} // namespace

bool parse_image_arg(const std::string& text, ImageArg* arg, std::string* error) {
    *arg = ImageArg{};
    std::string path = text;
    bool have_ro = false, have_size = false, have_boot = false;
    bool have_fail_read = false, have_fail_write = false;
    // Suffixes come off the end, so a path may hold colons of its own.
    for (;;) {
        size_t colon = path.rfind(':');
        if (colon == std::string::npos) break;
        std::string tail = path.substr(colon + 1);
        if (tail == "ro" && !have_ro) {
            have_ro = true;
            arg->read_only = true;
        } else if (tail == "boot" && !have_boot) {
            have_boot = true;
            arg->boot = true;
        } else if (tail == "failread" && !have_fail_read) {
            have_fail_read = true;
            arg->fail_reads = true;
        } else if (tail == "failwrite" && !have_fail_write) {
            have_fail_write = true;
            arg->fail_writes = true;
        } else if (tail.rfind("failwrite=", 0) == 0 && arg->fail_write_from == 0) {
            size_t value = 0;
            if (!all_digits(tail.substr(10)) || !parse_count(tail.substr(10), &value) ||
                value == 0) {
                *error = text + ": failwrite= needs a write number from 1 on";
                return false;
            }
            arg->fail_write_from = value;
        } else if (tail.rfind("badblock=", 0) == 0) {
            size_t value = 0;
            if (!all_digits(tail.substr(9)) || !parse_count(tail.substr(9), &value)) {
                *error = text + ": badblock= needs a block number";
                return false;
            }
            arg->bad_blocks.push_back(value);
        } else if (all_digits(tail) && !have_size) {
            size_t value = 0;
            if (!parse_count(tail, &value) || value < 512 || value > kMaxBlockSize ||
                (value & (value - 1)) != 0) {
                *error = text + ": the block size must be a power of two from 512 to 65536";
                return false;
            }
            have_size = true;
            arg->block_size = uint32_t(value);
        } else {
            break;
        }
        path.erase(colon);
    }
    if (path.empty()) {
        *error = text + ": no image file named";
        return false;
    }
    arg->path = path;
    return true;
}

bool parse_runner_args(const std::vector<std::string>& args, RunnerOptions* options,
                       std::string* error) {
    *options = RunnerOptions{};
    bool only_images = false, have_screen = false;
    std::string size_text;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (only_images || arg.empty() || arg[0] != '-' || arg == "-") {
            ImageArg image;
            if (!parse_image_arg(arg, &image, error)) return false;
            options->images.push_back(image);
            continue;
        }
        if (arg == "--") {
            only_images = true;
            continue;
        }
        std::string name = arg, value;
        bool has_value = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            has_value = true;
        }
        bool takes_value = name == "--fs" || name == "--size" || name == "--keys" ||
                           name == "--screen" || name == "--screenshot" || name == "--screenshots";
        if (takes_value && !has_value) {
            if (i + 1 == args.size()) {
                *error = name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!takes_value && has_value) {
            *error = name + " takes no value";
            return false;
        }
        if (name == "--fs") {
            if (value.empty()) {
                *error = "--fs needs a directory";
                return false;
            }
            options->fs_dir = value;
        } else if (name == "--size") {
            // Cells of the console, or with --gui pixels of the screen:
            // read once all options are known.
            size_text = value;
        } else if (name == "--screen") {
            if (!parse_screen_option(value, &options->screen_width, &options->screen_height)) {
                *error = "--screen " + value + ": expected WxH, each from 1 to 16384";
                return false;
            }
            have_screen = true;
        } else if (name == "--no-screen") {
            options->no_screen = true;
        } else if (name == "--screenshot") {
            if (value.empty()) {
                *error = "--screenshot needs a file name";
                return false;
            }
            options->screenshot = value;
        } else if (name == "--screenshots") {
            if (value.empty()) {
                *error = "--screenshots needs a directory";
                return false;
            }
            options->screenshots_dir = value;
        } else if (name == "--gui") {
            options->gui = true;
        } else if (name == "--trace") {
            options->trace = true;
        } else if (name == "--keys") {
            options->scripted = true;
            options->keys = value;
        } else if (name == "--fs-ro") {
            options->fs_read_only = true;
        } else if (name == "--no-fs") {
            options->no_fs = true;
        } else if (name == "--dump-screen") {
            options->dump_screen = true;
        } else if (name == "--dump-screens") {
            options->dump_screens = true;
        } else if (name == "-h" || name == "--help") {
            options->help = true;
        } else {
            *error = "unknown option " + name;
            return false;
        }
    }
    if (options->gui && !size_text.empty()) {
        if (have_screen) {
            *error = "--size and --screen both set the screen with --gui: give one";
            return false;
        }
        if (!parse_screen_option(size_text, &options->screen_width, &options->screen_height)) {
            *error = "--size " + size_text + ": expected WxH, each from 1 to 16384";
            return false;
        }
        have_screen = true;
    } else if (!size_text.empty() &&
               !parse_size_option(size_text, &options->columns, &options->rows)) {
        *error = "--size " + size_text + ": expected WxH, each from 1 to 1000";
        return false;
    }
    if (options->gui) {
        if (options->no_screen) {
            *error = "--gui needs the screen: not with --no-screen";
            return false;
        }
        if (!options->scripted) {
            *error = "--gui needs --keys: the screen cannot be shown in a terminal";
            return false;
        }
        if (options->dump_screen || options->dump_screens) {
            *error = std::string(options->dump_screens ? "--dump-screens" : "--dump-screen") +
                     " shows the text console: not with --gui";
            return false;
        }
    } else {
        // Without --gui the program has no screen and runs its text front end.
        const char* needs_gui = have_screen                         ? "--screen"
                                : !options->screenshot.empty()      ? "--screenshot"
                                : !options->screenshots_dir.empty() ? "--screenshots"
                                : options->trace                    ? "--trace"
                                                                    : nullptr;
        if (needs_gui) {
            *error = std::string(needs_gui) + " needs --gui";
            return false;
        }
    }
    if ((options->dump_screen || options->dump_screens) && !options->scripted) {
        *error = std::string(options->dump_screens ? "--dump-screens" : "--dump-screen") +
                 " needs --keys";
        return false;
    }
    if (options->no_fs && (!options->fs_dir.empty() || options->fs_read_only)) {
        *error = "--no-fs goes with neither --fs nor --fs-ro";
        return false;
    }
    size_t boots = 0;
    for (const ImageArg& image : options->images)
        boots += image.boot ? 1 : 0;
    if (boots > 1) {
        *error = "only one image can be the disk the program was started from (:boot)";
        return false;
    }
    return true;
}

} // namespace sim
