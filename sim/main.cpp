// korvane_host: runs the program once on a fresh simulated firmware and
// prints what it wrote to the console.
#include <cstdio>
#include <string>

#include "sim/firmware.h"

int main() {
    sim::reset();
    sim::RunResult result = sim::run_efi_main();
    std::string text = sim::console_output_utf8();
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (result.status == EFI_SUCCESS) return 0;
    std::fprintf(stderr, "korvane_host: exit status 0x%llx\n",
                 static_cast<unsigned long long>(result.status));
    return 1;
}
