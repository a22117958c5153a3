#include "sim/key_script.h"

#include <cctype>

#include "platform/efi_protocols.h"
#include "platform/keyboard.h"

namespace sim {
namespace {

constexpr char16_t kEnter = 13;
constexpr char16_t kBackspace = 8;
constexpr char16_t kTab = 9;

struct NamedKey {
    const char* name;
    KeyStroke key;
};

const NamedKey kNamedKeys[] = {
    {"enter", {0, kEnter, 0}},
    {"esc", {kv::SCAN_ESC, 0, 0}},
    {"up", {kv::SCAN_UP, 0, 0}},
    {"down", {kv::SCAN_DOWN, 0, 0}},
    {"left", {kv::SCAN_LEFT, 0, 0}},
    {"right", {kv::SCAN_RIGHT, 0, 0}},
    {"home", {kv::SCAN_HOME, 0, 0}},
    {"end", {kv::SCAN_END, 0, 0}},
    {"pgup", {kv::SCAN_PAGE_UP, 0, 0}},
    {"pgdn", {kv::SCAN_PAGE_DOWN, 0, 0}},
    {"del", {kv::SCAN_DELETE, 0, EFI_SHIFT_STATE_VALID}}, // a keyboard's, not a terminal's
    {"bs", {0, kBackspace, 0}},
    {"tab", {0, kTab, 0}},
    {"f5", {kv::SCAN_F5, 0, 0}},
    {"space", {0, u' ', 0}},
};

std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool starts_with_ci(const std::string& s, const char* prefix) {
    return lower(s.substr(0, std::char_traits<char>::length(prefix))) == prefix;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool decode_utf8(const std::string& s, std::u32string* out) {
    out->clear();
    for (size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        size_t length = b < 0x80         ? 1
                        : (b >> 5) == 6  ? 2
                        : (b >> 4) == 14 ? 3
                        : (b >> 3) == 30 ? 4
                                         : 0;
        if (length == 0 || i + length > s.size()) return false;
        char32_t cp = length == 1 ? b : b & (0x7F >> length);
        for (size_t k = 1; k < length; k++) {
            unsigned char c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        static const char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out->push_back(cp);
        i += length;
    }
    return true;
}

// The console carries UCS-2 only.
bool character_key(char32_t cp, KeyStroke* key, std::string* error) {
    if (cp > 0xFFFF) {
        *error = "characters above U+FFFF cannot be typed on the console";
        return false;
    }
    *key = KeyStroke{0, char16_t(cp), 0};
    return true;
}

// A single character or a key name, optionally with ctrl- before it.
bool single_key(const std::string& token, KeyStroke* key, std::string* error) {
    std::u32string chars;
    if (!decode_utf8(token, &chars)) {
        *error = "not valid UTF-8";
        return false;
    }
    if (chars.size() == 1) return character_key(chars[0], key, error);
    if (starts_with_ci(token, "ctrl-") && token.size() > 5) {
        std::string rest = token.substr(5);
        if (starts_with_ci(rest, "ctrl-") && rest.size() > 5) {
            *error = "unknown key";
            return false;
        }
        if (!single_key(rest, key, error)) return false;
        key->shift = kShiftCtrl;
        return true;
    }
    std::string name = lower(token);
    for (const NamedKey& named : kNamedKeys) {
        if (name == named.name) {
            *key = named.key;
            return true;
        }
    }
    *error = "unknown key";
    return false;
}

bool pixel_position(const std::string& text, int* out) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoi(text);
    return true;
}

// move=X,Y, click=X,Y and click:LABEL; false when the token is none of them.
bool pointer_token(const std::string& token, ScriptKey* k, std::string* error, bool* bad) {
    *bad = false;
    bool click = starts_with_ci(token, "click");
    if (!click && !starts_with_ci(token, "move=")) return false;
    size_t name_end = click ? 5 : 4;
    if (token.size() <= name_end) return false;
    k->token = token;
    if (click && token[name_end] == ':') {
        k->pointer = PointerAction::ClickLabel;
        k->label = token.substr(name_end + 1);
        if (k->label.empty()) {
            *bad = true;
            *error = "click: needs a label";
        }
        return true;
    }
    if (token[name_end] != '=') return false;
    k->pointer = click ? PointerAction::Click : PointerAction::Move;
    std::string position = token.substr(name_end + 1);
    size_t comma = position.find(',');
    if (comma == std::string::npos || !pixel_position(position.substr(0, comma), &k->x) ||
        !pixel_position(position.substr(comma + 1), &k->y)) {
        *bad = true;
        *error = std::string("expected ") + (click ? "click" : "move") + "=X,Y in pixels";
    }
    return true;
}

// A pointer position token takes the token after the comma as its Y.
bool wants_y(const std::string& token) {
    std::string rest = token;
    if (starts_with_ci(rest, "poll") && rest.find('-') != std::string::npos)
        rest = rest.substr(rest.find('-') + 1);
    return (starts_with_ci(rest, "click=") || starts_with_ci(rest, "move=")) &&
           rest.find(',') == std::string::npos;
}

bool token_keys(const std::string& token, std::vector<ScriptKey>* keys, std::string* error) {
    if (token.size() > 1 && token[0] == '=') {
        std::u32string chars;
        if (!decode_utf8(token.substr(1), &chars)) {
            *error = "not valid UTF-8";
            return false;
        }
        for (char32_t cp : chars) {
            ScriptKey k;
            if (!character_key(cp, &k.key, error)) return false;
            keys->push_back(k);
        }
        return true;
    }
    ScriptKey k;
    std::string key_text = token;
    if (starts_with_ci(token, "poll")) {
        // pollN-KEY, N optional (1).
        size_t dash = token.find('-', 4);
        std::string count = dash == std::string::npos ? "" : token.substr(4, dash - 4);
        bool digits = count.find_first_not_of("0123456789") == std::string::npos;
        if (dash != std::string::npos && dash + 1 < token.size() && digits) {
            if (count.size() > 6 || (!count.empty() && std::stoul(count) == 0)) {
                *error = "the read count must be from 1 to 999999";
                return false;
            }
            k.poll_read = count.empty() ? 1 : unsigned(std::stoul(count));
            key_text = token.substr(dash + 1);
        }
    }
    bool bad = false;
    if (pointer_token(key_text, &k, error, &bad)) {
        if (bad) return false;
        k.token = token;
        keys->push_back(k);
        return true;
    }
    if (!single_key(key_text, &k.key, error)) return false;
    keys->push_back(k);
    return true;
}

} // namespace

bool parse_key_script(const std::string& script, std::vector<ScriptKey>* keys, std::string* error) {
    keys->clear();
    if (script.empty()) return true;
    std::string token;
    size_t number = 1;
    auto finish = [&]() {
        std::string why;
        if (token.empty()) {
            *error = "key " + std::to_string(number) + " is empty";
            return false;
        }
        if (!token_keys(token, keys, &why)) {
            *error = "key " + std::to_string(number) + " \"" + token + "\": " + why;
            return false;
        }
        token.clear();
        number++;
        return true;
    };
    for (size_t i = 0; i < script.size(); i++) {
        char c = script[i];
        if (c == '\\') {
            if (i + 1 == script.size() || (script[i + 1] != ',' && script[i + 1] != '\\')) {
                *error = "key " + std::to_string(number) +
                         ": a backslash may only escape a comma or a backslash";
                return false;
            }
            token += script[++i];
        } else if (c == ',' && wants_y(token)) {
            token += c;
        } else if (c == ',') {
            if (!finish()) return false;
        } else {
            token += c;
        }
    }
    return finish();
}

} // namespace sim
