// korvane-sim from the command line to the exit status.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sim/runner.h"
#include "sim/terminal.h"

namespace sim {
namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "korvane-sim: %s\n", why.c_str());
    return kExitRunnerError;
}

EFI_STATUS call_efi_main(void*) {
    return efi_main(image_handle(), system_table());
}

std::string make_temporary_dir(std::string* error) {
    const char* base = std::getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/korvane-sim-XXXXXX";
    if (!mkdtemp(dir.data())) {
        *error = "cannot create a temporary directory in " + dir.substr(0, dir.rfind('/')) + ": " +
                 std::strerror(errno);
        return std::string();
    }
    return dir;
}

void write_stdout(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

int runner_main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    RunnerOptions options;
    std::string error;
    if (!parse_runner_args(args, &options, &error)) return fail(error);
    if (options.help) {
        std::fputs(kRunnerUsage, stdout);
        return 0;
    }
    std::vector<ScriptKey> keys;
    if (options.scripted && !parse_key_script(options.keys, &keys, &error))
        return fail("--keys: " + error);
    for (const ScriptKey& key : keys) {
        if (key.pointer == PointerAction::None) continue;
        if (!options.gui) return fail("--keys: " + key.token + ": pointer tokens need --gui");
        if (key.pointer != PointerAction::ClickLabel &&
            (uint32_t(key.x) >= options.screen_width || uint32_t(key.y) >= options.screen_height))
            return fail("--keys: " + key.token + ": outside the " +
                        std::to_string(options.screen_width) + "x" +
                        std::to_string(options.screen_height) + " screen");
    }
    for (const ImageArg& image : options.images)
        if (!check_image(image, &error)) return fail(error);
    if (!options.screenshots_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options.screenshots_dir, ec);
        if (!std::filesystem::is_directory(options.screenshots_dir))
            return fail("--screenshots " + options.screenshots_dir + ": not a directory");
    }

    std::string dir = options.fs_dir;
    bool temporary = dir.empty() && !options.no_fs;
    if (temporary) {
        dir = make_temporary_dir(&error);
        if (dir.empty()) return fail(error);
    } else if (!options.no_fs && !check_volume_dir(dir, &error)) {
        return fail(error);
    }

    size_t columns = options.columns, rows = options.rows;
    size_t terminal_columns = 0, terminal_rows = 0;
    bool on_terminal =
        !options.scripted && terminal_size(STDOUT_FILENO, &terminal_columns, &terminal_rows);
    if (!columns && on_terminal) {
        columns = terminal_columns;
        rows = terminal_rows;
    }

    reset();
    set_console_size(columns, rows);
    GuiDevices gui_devices;
    if (options.gui) {
        set_display(options.screen_width, options.screen_height);
        gui_devices = attach_gui_devices();
    } else {
        remove_display();
    }
    std::vector<EFI_HANDLE> disks;
    std::string warnings;
    if (!attach_images(options.images, &disks, &warnings, &error)) {
        if (temporary) rmdir(dir.c_str());
        return fail(error);
    }
    for (size_t at = 0; at < warnings.size();) {
        size_t end = warnings.find('\n', at);
        std::fprintf(stderr, "korvane-sim: %s\n", warnings.substr(at, end - at).c_str());
        at = end + 1;
    }
    int boot_index = -1;
    for (size_t i = 0; i < options.images.size(); i++)
        if (options.images[i].boot) boot_index = int(i);
    if (!options.no_fs)
        attach_start_volume(dir, boot_index, options.fs_read_only,
                            boot_index >= 0 ? disks[size_t(boot_index)] : nullptr);

    SessionEnd end;
    std::string gui_error;
    if (options.gui) {
        GuiRunOptions gui_options;
        gui_options.trace = options.trace;
        gui_options.screenshot = options.screenshot;
        gui_options.screenshots_dir = options.screenshots_dir;
        end = run_scripted_gui(keys, gui_devices, gui_options, write_stdout, call_efi_main, nullptr,
                               &gui_error);
    } else if (options.scripted) {
        end = run_scripted(keys, options.dump_screens, options.dump_screen, write_stdout,
                           call_efi_main, nullptr);
    } else {
        if (on_terminal && (terminal_columns < 80 || terminal_rows < 25))
            std::fprintf(stderr,
                         "korvane-sim: the terminal has %zux%zu cells, the console at least "
                         "80x25: what lies beyond is not shown\n",
                         terminal_columns, terminal_rows);
        if (!terminal_begin(STDIN_FILENO, STDOUT_FILENO, &error)) {
            if (temporary) rmdir(dir.c_str());
            return fail(error);
        }
        end = run_interactive(STDIN_FILENO, STDOUT_FILENO, call_efi_main, nullptr);
        terminal_end();
    }
    // The machine is switched off: what the program still held goes with it.
    // A run ended inside a wait left through Exit, past the code that frees
    // the program's private stack.
    reset();
    if (temporary && rmdir(dir.c_str()) != 0)
        std::fprintf(stderr, "korvane-sim: the files saved on fs0 are in %s\n", dir.c_str());
    if (!gui_error.empty()) return fail(gui_error);
    return exit_status(end.result, end.keys_exhausted);
}

} // namespace sim
