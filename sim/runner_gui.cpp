// korvane-sim --gui: the program on the simulated screen, with an absolute
// pointer for the script's pointer tokens and the screen trace on a serial
// console, read back to find what click:LABEL aims at.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <utility>

#include "sim/input_devices.h"
#include "sim/picture.h"
#include "sim/runner.h"
#include "sim/serial.h"

namespace sim {
namespace {

using Centre = std::pair<int, int>;

[[noreturn]] void end_run() {
    system_table()->BootServices->Exit(image_handle(), EFI_ABORTED, 0, nullptr);
    std::abort();
}

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// "... LABEL at X,Y[ suffix]": the label and the centre of one trace line.
bool label_and_centre(const std::string& text, std::string* label, Centre* centre) {
    size_t at = text.rfind(" at ");
    if (at == std::string::npos) return false;
    int x = 0, y = 0;
    if (std::sscanf(text.c_str() + at + 4, "%d,%d", &x, &y) != 2) return false;
    *label = text.substr(0, at);
    *centre = {x, y};
    return true;
}

// What the trace says is on the screen now: the main screen's buttons, and
// while a dialog is open its buttons and the list items last drawn.
struct ScreenLabels {
    std::map<std::string, Centre> buttons;
    std::map<std::string, Centre> dialog_buttons;
    std::map<std::string, Centre> items;
    bool dialog_open = false;
    bool list_drawn = false; // the next "item" line starts a new drawing of the list

    // "KEY LABEL at X,Y" after the line's kind.
    static bool keyed(const std::string& rest, std::string* label, Centre* centre) {
        size_t space = rest.find(' ');
        return space != std::string::npos &&
               label_and_centre(rest.substr(space + 1), label, centre);
    }

    void take(const std::string& text) {
        std::string label;
        Centre centre;
        if (starts_with(text, "window ")) {
            buttons.clear();
        } else if (starts_with(text, "button ")) {
            std::string rest = text.substr(7);
            size_t hover = rest.rfind(" hover");
            if (hover != std::string::npos && hover + 6 == rest.size()) rest.erase(hover);
            if (keyed(rest, &label, &centre)) buttons[label] = centre;
        } else if (text == "dialog shown") {
            list_drawn = true;
        } else if (text == "dialog closed") {
            dialog_buttons.clear();
            items.clear();
            dialog_open = false;
        } else if (starts_with(text, "dialog ")) {
            dialog_buttons.clear();
            items.clear();
            dialog_open = true;
            list_drawn = false;
        } else if (starts_with(text, "dbutton ")) {
            if (keyed(text.substr(8), &label, &centre)) dialog_buttons[label] = centre;
        } else if (starts_with(text, "wipe ")) {
            // "wipe ... stop at X,Y": the progress box's Stop button, on the
            // screen until the main screen is drawn again.
            size_t at = text.rfind(" stop at ");
            int x = 0, y = 0;
            if (at != std::string::npos && std::sscanf(text.c_str() + at + 9, "%d,%d", &x, &y) == 2)
                buttons["Stop"] = {x, y};
        } else if (starts_with(text, "item ")) {
            // A list drawn again (scrolled) shows other items.
            if (list_drawn) items.clear();
            list_drawn = false;
            std::string rest = text.substr(5);
            if (rest.size() >= 2 && rest.compare(rest.size() - 2, 2, " <") == 0)
                rest.erase(rest.size() - 2);
            if (label_and_centre(rest, &label, &centre)) items[label] = centre;
        }
    }

    bool find(const std::string& label, Centre* centre) const {
        for (const auto* map : {&dialog_buttons, &items, &buttons}) {
            if (map != &buttons && !dialog_open) continue;
            auto it = map->find(label);
            if (it != map->end()) {
                *centre = it->second;
                return true;
            }
        }
        return false;
    }
};

// From a pixel to the absolute pointer's coordinate that the program maps
// back to exactly that pixel (x = ax * (width - 1) / 65535).
UINT64 to_absolute(int pixel, uint32_t side) {
    if (side <= 1) return 0;
    return (UINT64(pixel) * 65535 + side - 2) / (side - 1);
}

} // namespace

GuiDevices attach_gui_devices() {
    GuiDevices devices;
    devices.serial = add_serial_port();
    set_console_out({gop_console_path(), serial_console_path()});
    AbsolutePointerConfig config;
    config.max_x = 65535;
    config.max_y = 65535;
    devices.pointer = add_absolute_pointer(config);
    return devices;
}

SessionEnd run_scripted_gui(const std::vector<ScriptKey>& keys, const GuiDevices& devices,
                            const GuiRunOptions& options, const OutputSink& out,
                            EFI_STATUS (*entry)(void*), void* ctx, std::string* error) {
    size_t next = 0;
    bool exhausted = false;
    ScreenLabels labels;
    std::string partial;
    Picture last;
    bool have_last = false;
    unsigned frame = 0;
    std::string failure;
    uint32_t width = display_width(), height = display_height();

    auto save = [&](const Picture& picture, const std::string& path) {
        std::string why;
        if (!save_png(path, picture, &why) && failure.empty()) failure = why;
    };
    auto on_line = [&](const std::string& line) {
        if (options.trace) out(line + "\n");
        if (!starts_with(line, "gui: ")) return;
        std::string text = line.substr(5);
        labels.take(text);
        bool rendered = text == "shown" || text == "dialog shown" || starts_with(text, "wipe ");
        bool changed = rendered || starts_with(text, "pointer ") || starts_with(text, "field ") ||
                       text == "dialog closed";
        if (!changed) return;
        last = display_picture();
        have_last = true;
        if (rendered && !options.screenshots_dir.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame-%04u.png", frame++);
            save(last, options.screenshots_dir + name);
        }
    };
    set_serial_write_hook(devices.serial, [&](const std::string& bytes) {
        partial += bytes;
        for (size_t end; (end = partial.find("\r\n")) != std::string::npos;) {
            on_line(partial.substr(0, end));
            partial.erase(0, end + 2);
        }
    });

    auto push_pointer = [&](int x, int y, bool left) {
        EFI_ABSOLUTE_POINTER_STATE state = {};
        state.CurrentX = to_absolute(x, width);
        state.CurrentY = to_absolute(y, height);
        state.ActiveButtons = left ? 1 : 0;
        push_absolute_state(devices.pointer, state);
    };
    // Hands over the next token; false when it was a pointer token (the
    // wait goes on until the pointer is polled).
    unsigned reads = 0; // reads that found no key since the last token
    auto hand_over = [&]() -> bool {
        const ScriptKey& k = keys[next++];
        reads = 0;
        switch (k.pointer) {
        case PointerAction::None:
            push_key(k.key.scan, k.key.ch, k.key.shift);
            return true;
        case PointerAction::Move:
            push_pointer(k.x, k.y, false);
            return false;
        case PointerAction::Click:
            push_pointer(k.x, k.y, true);
            push_pointer(k.x, k.y, false);
            return false;
        case PointerAction::ClickLabel: {
            Centre centre;
            if (!labels.find(k.label, &centre)) {
                failure =
                    "--keys: " + k.token + ": nothing labelled \"" + k.label + "\" on the screen";
                end_run();
            }
            push_pointer(centre.first, centre.second, true);
            push_pointer(centre.first, centre.second, false);
            return false;
        }
        }
        return false;
    };
    set_idle_hook([&]() -> bool {
        // The pointer's press and release go first: the next token may
        // depend on what the click opened.
        if (pointer_states_left(devices.pointer) > 0) return false;
        if (next == keys.size()) {
            exhausted = true;
            end_run();
        }
        return hand_over();
    });
    // A token marked pollN- also goes to the Nth key read that finds no key,
    // waiting or not: the wipe only polls for its Stop button.
    set_key_read_hook([&]() {
        if (next == keys.size() || keys[next].poll_read == 0) return;
        if (pointer_states_left(devices.pointer) > 0) return;
        if (++reads < keys[next].poll_read) return;
        hand_over();
    });
    // Our own hook ends the run when the script is used up; the console's
    // guard against a program that only polls must not end it earlier.
    set_key_script_limit(UINT64_MAX);
    // Real stalls, so that the program's clock calibration measures real time.
    set_stall_hook([](uint64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); });
    SessionEnd end;
    end.result = run_image(entry, ctx);
    set_idle_hook({});
    set_key_read_hook({});
    set_stall_hook({});
    set_serial_write_hook(devices.serial, {});
    end.keys_exhausted = exhausted || key_script_exhausted();
    if (!options.screenshot.empty() && have_last) save(last, options.screenshot);
    if (!failure.empty()) *error = failure;
    return end;
}

} // namespace sim
