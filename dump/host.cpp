#include "host.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

namespace {

// text[at, at + n), clamped to text; unlike substr, it never throws.
std::string_view slice(std::string_view text, std::size_t at,
                       std::size_t n = std::string_view::npos) {
    at = std::min(at, text.size());
    return {text.data() + at, std::min(n, text.size() - at)};
}

// The start of a /proc, /sys or cgroup file, at most size - 1 bytes, as a
// string; empty when it cannot be read.
template <std::size_t size>
std::string_view read_text(const char* path, char (&text)[size]) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    const ssize_t got = read(fd, text, size - 1);
    close(fd);
    return {text, got > 0 ? static_cast<std::size_t>(got) : 0};
}

// The number at the start of text, in the given base; false when there is
// none or it does not fit.
bool leading_number(std::string_view text, int base, unsigned long long& value) {
    char digits[32];
    const std::size_t n = std::min(text.size(), sizeof digits - 1);
    if (n == 0) {
        return false;
    }
    std::memcpy(digits, text.data(), n);
    digits[n] = '\0';
    if (digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(digits, &end, base);
    return end != digits && errno == 0;
}

// The value of the line "name value" in a stat or smaps text, or -1.
long long field(std::string_view text, std::string_view name) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = slice(text, at, end - at);
        unsigned long long value = 0;
        if (slice(line, 0, name.size()) == name && line.size() > name.size() &&
            (line[name.size()] == ' ' || line[name.size()] == '\t')) {
            std::string_view rest = slice(line, name.size());
            rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
            return leading_number(rest, 10, value) && value <= LLONG_MAX
                       ? static_cast<long long>(value)
                       : -1;
        }
        at = end + 1;
    }
    return -1;
}

// The start of the file of that name in dir, as read_text() gives it.
template <std::size_t size>
std::string_view read_in(const char* dir, const char* file, char (&text)[size]) {
    char path[4096];
    const int length = std::snprintf(path, sizeof path, "%s/%s", dir, file);
    return length > 0 && static_cast<std::size_t>(length) < sizeof path ? read_text(path, text)
                                                                        : std::string_view{};
}

// The number a cgroup file holds, or -1 when it holds none ("max", or the
// file is missing).
long long number_in(const char* dir, const char* file) {
    char text[64];
    unsigned long long value = 0;
    return leading_number(read_in(dir, file, text), 10, value) && value <= LLONG_MAX
               ? static_cast<long long>(value)
               : -1;
}

// The names of the limit, usage and page-cache figures of one cgroup
// version.
struct layout {
    const char* limits[2];
    const char* usage;
    const char* cache[2];
};
constexpr layout v1 = {{"memory.limit_in_bytes", nullptr},
                       "memory.usage_in_bytes",
                       {"total_active_file", "total_inactive_file"}};
constexpr layout v2 = {
    {"memory.max", "memory.high"}, "memory.current", {"active_file", "inactive_file"}};

// The room left under the limits of the group in dir; unlimited when it sets
// none.
long long room_in(const char* dir, const layout& names) {
    long long limit = unlimited;
    for (const char* name : names.limits) {
        const long long value = name == nullptr ? -1 : number_in(dir, name);
        limit = value >= 0 ? std::min(limit, value) : limit;
    }
    if (limit == unlimited) {
        return unlimited;
    }
    const long long usage = number_in(dir, names.usage);
    if (usage < 0) {
        return 0;
    }
    char stat[8192];
    const std::string_view text = read_in(dir, "memory.stat", stat);
    long long cache = 0;
    for (const char* name : names.cache) {
        cache += std::max(0LL, field(text, name));
    }
    const long long held = std::max(0LL, usage - cache);
    return std::max(0LL, limit - held);
}

// Whether the header line of a maps or smaps entry covers address.
bool maps(std::string_view header, std::uintptr_t address) {
    unsigned long long start = 0;
    unsigned long long end = 0;
    const std::size_t dash = header.find('-');
    return dash != std::string_view::npos && leading_number(header, 16, start) &&
           leading_number(slice(header, dash + 1), 16, end) && address >= start && address < end;
}

// Finds the memory controller's group in the text of /proc/self/cgroup, v1
// first (its hierarchy is mounted under root by the names of its
// controllers), then v2 (mounted at root), and writes its directory to dir.
// Returns the length of the hierarchy's own directory at the start of dir,
// or 0 when there is no such group.
std::size_t memory_group(std::string_view cgroups, const char* root, char (&dir)[4096],
                         const layout*& names) {
    std::string_view v2_path;
    std::string_view v1_controllers;
    std::string_view v1_path;
    for (std::size_t at = 0; at < cgroups.size();) {
        const std::size_t end = std::min(cgroups.find('\n', at), cgroups.size());
        const std::string_view line = slice(cgroups, at, end - at);
        at = end + 1;
        const std::size_t first = line.find(':');
        const std::size_t second =
            first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) {
            continue;
        }
        const std::string_view controllers = slice(line, first + 1, second - first - 1);
        const std::string_view path = slice(line, second + 1);
        if (controllers.empty() && slice(line, 0, first) == "0") {
            v2_path = path;
        }
        for (std::size_t c = 0; c <= controllers.size();) {
            const std::size_t comma = std::min(controllers.find(',', c), controllers.size());
            if (slice(controllers, c, comma - c) == "memory") {
                v1_controllers = controllers;
                v1_path = path;
            }
            c = comma + 1;
        }
    }
    const bool v1_found = !v1_controllers.empty();
    const std::string_view path = v1_found ? v1_path : v2_path;
    if (path.empty() || path[0] != '/' || path.find("/..") != std::string_view::npos) {
        return 0;
    }
    names = v1_found ? &v1 : &v2;
    const int top =
        v1_found ? std::snprintf(dir, sizeof dir, "%s/%.*s", root,
                                 static_cast<int>(v1_controllers.size()), v1_controllers.data())
                 : std::snprintf(dir, sizeof dir, "%s", root);
    if (top <= 0 || static_cast<std::size_t>(top) + path.size() >= sizeof dir) {
        return 0;
    }
    std::memcpy(dir + top, path.data(), path.size());
    dir[static_cast<std::size_t>(top) + path.size()] = '\0';
    return static_cast<std::size_t>(top);
}

} // namespace

std::size_t page_size() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

std::size_t parse_huge_page_size(std::string_view text) {
    unsigned long long value = 0;
    const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    const std::string_view rest = slice(text, digits);
    if (!(rest.empty() || rest == "\n") || !leading_number(text, 10, value) || value > SIZE_MAX ||
        (value & (value - 1)) != 0) {
        return 0;
    }
    return static_cast<std::size_t>(value);
}

std::size_t huge_page_size() {
    char text[64];
    return parse_huge_page_size(
        read_text("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", text));
}

bool entry_has_huge_pages(std::string_view entry, std::uintptr_t address) {
    const std::size_t fields = entry.find('\n');
    return maps(entry, address) && fields != std::string_view::npos &&
           field(slice(entry, fields + 1), "AnonHugePages:") > 0;
}

bool has_huge_pages(const void* address) {
    // A header line starts with the mapping's start address in lower-case
    // hexadecimal, a field line with a capitalised name. The entry that maps
    // address is gathered, a line at a time, up to the next header.
    const auto where = reinterpret_cast<std::uintptr_t>(address);
    const int fd = open("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char chunk[8192];
    char line[256];
    char entry[4096];
    std::size_t length = 0;
    std::size_t kept = 0;
    bool inside = false;
    bool done = false;
    for (ssize_t got; !done && (got = read(fd, chunk, sizeof chunk)) > 0;) {
        for (const char c : std::string_view(chunk, static_cast<std::size_t>(got))) {
            if (c != '\n') {
                line[length] = c;
                length += length < sizeof line - 1 ? 1 : 0;
                continue;
            }
            line[length++] = '\n';
            const bool header =
                line[0] != '\0' && std::strchr("0123456789abcdef", line[0]) != nullptr;
            done = header && inside;
            if (done) {
                break;
            }
            inside = header ? maps({line, length}, where) : inside;
            if (inside && kept + length <= sizeof entry) {
                std::memcpy(entry + kept, line, length);
                kept += length;
            }
            length = 0;
        }
    }
    close(fd);
    return entry_has_huge_pages({entry, kept}, where);
}

long long memory_room(std::string_view cgroups, const char* root) {
    char dir[4096];
    const layout* names = nullptr;
    const std::size_t top = memory_group(cgroups, root, dir, names);
    if (top == 0) {
        return unlimited;
    }
    // From the group itself up to the hierarchy's root, each level once.
    long long least = unlimited;
    std::size_t end = std::strlen(dir);
    for (;;) {
        while (end > top && dir[end - 1] == '/') {
            --end;
        }
        dir[end] = '\0';
        least = std::min(least, room_in(dir, *names));
        if (end <= top) {
            return least;
        }
        while (end > top && dir[end - 1] != '/') {
            --end;
        }
    }
}

long long memory_room() {
    char text[4096];
    return memory_room(read_text("/proc/self/cgroup", text), "/sys/fs/cgroup");
}

} // namespace host
