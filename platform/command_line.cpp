#include "platform/command_line.h"

#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

constexpr size_t kFirstCapacity = 8;
// argc is an int; a shell claiming more arguments than that is not believed.
constexpr UINTN kMaxShellArgs = 0x7FFFFFFE;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Where the argument starting at `p` ends, and how many bytes it has once
// its quotes are dropped.
const char* argument_end(const char* p, size_t* length) {
    bool quoted = false;
    size_t n = 0;
    for (; *p; p++) {
        if (*p == '"') {
            quoted = !quoted;
        } else if (!quoted && is_blank(*p)) {
            break;
        } else {
            n++;
        }
    }
    *length = n;
    return p;
}

char* copy_argument(const char* begin, const char* end, size_t length) {
    char* arg = static_cast<char*>(xmalloc(length + 1));
    size_t n = 0;
    for (const char* p = begin; p < end; p++)
        if (*p != '"') arg[n++] = *p;
    arg[n] = 0;
    return arg;
}

// Firmware also passes binary option data of boot entries here; only text
// counts as a command line.
bool load_options_are_text(const CHAR16* units, size_t n, size_t* length) {
    size_t i = 0;
    for (; i < n && units[i]; i++)
        if (units[i] < 0x20 && units[i] != 0x09) return false;
    *length = i;
    return true;
}

bool from_shell() {
    EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
    EFI_SHELL_PARAMETERS_PROTOCOL* shell = nullptr;
    if (EFI_ERROR(g_bs->OpenProtocol(g_image, &guid, (VOID**)&shell, g_image, nullptr,
                                     EFI_OPEN_PROTOCOL_GET_PROTOCOL)))
        return false;
    if (!shell || !shell->Argv || shell->Argc == 0 || shell->Argc > kMaxShellArgs) return false;
    int argc = static_cast<int>(shell->Argc);
    char** argv = static_cast<char**>(xmalloc((size_t(argc) + 1) * sizeof(char*)));
    for (int i = 0; i < argc; i++) {
        const CHAR16* arg = shell->Argv[i];
        argv[i] = arg ? utf16_to_utf8(arg, size_t(-1)) : xstrdup("");
    }
    argv[argc] = nullptr;
    g_argc = argc;
    g_argv = argv;
    return true;
}

bool from_load_options() {
    const EFI_LOADED_IMAGE_PROTOCOL* image = g_loaded_image;
    if (!image || !image->LoadOptions || image->LoadOptionsSize % 2 != 0) return false;
    size_t n = image->LoadOptionsSize / 2;
    size_t length = 0;
    if (n == 0 ||
        !load_options_are_text(static_cast<const CHAR16*>(image->LoadOptions), n, &length))
        return false;
    char* text = utf16_to_utf8(static_cast<const CHAR16*>(image->LoadOptions), length);
    int argc = 0;
    char** argv = command_line_split(text, &argc);
    free(text);
    if (!argv) return false;
    g_argc = argc;
    g_argv = argv;
    return true;
}

} // namespace

char** command_line_split(const char* text, int* argc) {
    size_t capacity = kFirstCapacity;
    char** argv = static_cast<char**>(xmalloc(capacity * sizeof(char*)));
    size_t count = 0;
    const char* p = text;
    for (;;) {
        while (is_blank(*p))
            p++;
        if (!*p) break;
        size_t length = 0;
        const char* end = argument_end(p, &length);
        // Grown before storing, so that the closing null always fits.
        if (count + 1 >= capacity) {
            capacity *= 2;
            argv = static_cast<char**>(xrealloc(argv, capacity * sizeof(char*)));
        }
        argv[count++] = copy_argument(p, end, length);
        p = end;
    }
    if (count == 0) {
        free(argv);
        *argc = 0;
        return nullptr;
    }
    argv[count] = nullptr;
    *argc = static_cast<int>(count);
    return argv;
}

void command_line_build() {
    if (from_shell() || from_load_options()) return;
    g_argc = 1;
    g_argv = static_cast<char**>(xmalloc(2 * sizeof(char*)));
    g_argv[0] = xstrdup("korvane");
    g_argv[1] = nullptr;
}

} // namespace kv
