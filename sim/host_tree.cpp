// The host side of the simulated volumes: a directory tree seen through the
// FAT driver's eyes (names, case, attributes, times).
#include "sim/host_tree.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <string_view>

namespace sim::host_tree {

namespace {

constexpr size_t kMaxNameUnits = 255;

char16_t fold(char16_t c) {
    if (c >= u'a' && c <= u'z') return char16_t(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
    return c;
}

} // namespace

std::u16string utf8_to_utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        uint8_t b = uint8_t(s[i]);
        uint32_t c = b;
        size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        if (n > 1) {
            c = b & (0x7F >> n);
            for (size_t k = 1; k < n && i + k < s.size(); k++)
                c = c << 6 | (uint8_t(s[i + k]) & 0x3F);
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

bool same_name(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

std::vector<std::string> host_entries(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string find_entry(const fs::path& dir, const std::u16string& name) {
    for (const std::string& entry : host_entries(dir))
        if (same_name(utf8_to_utf16(entry), name)) return entry;
    return {};
}

uint64_t tree_bytes(const fs::path& root) {
    uint64_t used = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code size_ec;
        if (it->is_regular_file(size_ec)) used += it->file_size(size_ec);
    }
    return used;
}

bool host_read_only(const fs::path& p) {
    std::error_code ec;
    fs::perms perms = fs::status(p, ec).permissions();
    return !ec && (perms & fs::perms::owner_write) == fs::perms::none;
}

void set_host_read_only(const fs::path& p, bool read_only) {
    const fs::perms write = fs::perms::owner_write | fs::perms::group_write;
    std::error_code ec;
    fs::permissions(p, write, read_only ? fs::perm_options::remove : fs::perm_options::add, ec);
}

EFI_TIME efi_time(const fs::path& p) {
    EFI_TIME t{};
    std::error_code ec;
    fs::file_time_type written = fs::last_write_time(p, ec);
    if (ec) return t;
    std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(written));
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    t.Year = uint16_t(tm.tm_year + 1900);
    t.Month = uint8_t(tm.tm_mon + 1);
    t.Day = uint8_t(tm.tm_mday);
    t.Hour = uint8_t(tm.tm_hour);
    t.Minute = uint8_t(tm.tm_min);
    t.Second = uint8_t(tm.tm_sec);
    t.TimeZone = 0x7FF; // unspecified, as FAT keeps no zone
    return t;
}

void set_host_time(const fs::path& p, const EFI_TIME& t) {
    std::tm tm{};
    tm.tm_year = t.Year - 1900;
    tm.tm_mon = t.Month - 1;
    tm.tm_mday = t.Day;
    tm.tm_hour = t.Hour;
    tm.tm_min = t.Minute;
    tm.tm_sec = t.Second;
    auto sys = std::chrono::system_clock::from_time_t(timegm(&tm));
    std::error_code ec;
    fs::last_write_time(p, std::chrono::file_clock::from_sys(sys), ec);
}

bool clean_name(const std::u16string& in, std::u16string* out) {
    size_t begin = in.find_first_not_of(u' ');
    if (begin == std::u16string::npos) return false;
    size_t end = in.size();
    while (end > begin && (in[end - 1] == u' ' || in[end - 1] == u'.'))
        end--;
    if (end == begin || end - begin > kMaxNameUnits) return false;
    *out = in.substr(begin, end - begin);
    for (char16_t c : *out)
        if (c < 0x20 || std::u16string_view(u"\"*/:<>?\\|").find(c) != std::u16string_view::npos)
            return false;
    return true;
}

std::vector<std::u16string> components(const std::u16string& path) {
    std::vector<std::u16string> out;
    size_t at = 0;
    while (at < path.size()) {
        size_t next = path.find(u'\\', at);
        if (next == std::u16string::npos) next = path.size();
        if (next > at) out.push_back(path.substr(at, next - at));
        at = next + 1;
    }
    return out;
}

} // namespace sim::host_tree
