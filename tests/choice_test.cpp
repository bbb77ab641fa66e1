// The facts the output path is chosen by, read from fixture files and texts
// made here, and the choice itself, from given facts.
#include "host.h"
#include "output.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr long long mib = 1LL << 20;

// A v1 memory.stat: the group's own page cache first, then the tree's.
std::string v1_stat(long long own, long long active, long long inactive) {
    return "cache " + std::to_string(own) + "\nactive_file " + std::to_string(own) +
           "\ninactive_file 0\ntotal_cache " + std::to_string(active + inactive) +
           "\ntotal_active_file " + std::to_string(active) + "\ntotal_inactive_file " +
           std::to_string(inactive) + "\n";
}

std::string v2_stat(long long anon, long long active, long long inactive) {
    return "anon " + std::to_string(anon) + "\nfile " + std::to_string(active + inactive) +
           "\nactive_anon " + std::to_string(anon) + "\ninactive_file " + std::to_string(inactive) +
           "\nactive_file " + std::to_string(active) + "\n";
}

std::string n(long long value) {
    return std::to_string(value) + "\n";
}

// An smaps entry for 7f000000-7f600000 with the given huge pages.
std::string smaps_entry(const std::string& huge_field) {
    return "7f000000-7f600000 rw-p 00000000 00:00 0 \n"
           "Size:               6144 kB\n"
           "Rss:                2048 kB\n"
           "Anonymous:          2048 kB\n"
           "ShmemPmdMapped:     2048 kB\n" +
           huge_field + "VmFlags: rd wr mr mw me ac hg\n";
}

struct Probe {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files; // under the fixture root
    std::function<long long(const std::string& root)> probe;
    long long want;
};

std::function<long long(const std::string&)> huge_page(const std::string& text) {
    return [text](const std::string&) {
        return static_cast<long long>(host::parse_huge_page_size(text));
    };
}

std::function<long long(const std::string&)> huge_at(const std::string& entry,
                                                     std::uintptr_t address) {
    return [entry, address](const std::string&) {
        return host::entry_has_huge_pages(entry, address) ? 1LL : 0LL;
    };
}

std::function<long long(const std::string&)> room(const std::string& cgroups) {
    return [cgroups](const std::string& root) { return host::memory_room(cgroups, root.c_str()); };
}

TEST(Probes, ReadWhatTheSystemSays) {
    constexpr std::uintptr_t start = 0x7f000000;
    constexpr std::uintptr_t end = 0x7f600000;
    const std::string huge = "AnonHugePages:      2048 kB\n";
    const std::string none = "AnonHugePages:         0 kB\n";
    const std::string v1 = "12:pids:/\n4:memory:/a/b\n1:cpu:/\n0::/\n";
    const std::string v2 = "0::/a/b\n";
    const long long unlimited_v1 = 9223372036854771712;
    // clang-format off
    const std::vector<Probe> probes = {
        {"huge page size of 2 MiB", {}, huge_page("2097152\n"), 2 * mib},
        {"huge page size of 32 MiB, no newline", {}, huge_page("33554432"), 32 * mib},
        {"huge page size 0", {}, huge_page("0\n"), 0},
        {"huge page size empty", {}, huge_page(""), 0},
        {"huge page size not a power of two", {}, huge_page("3000000\n"), 0},
        {"huge page size negative", {}, huge_page("-2097152\n"), 0},
        {"huge page size with a unit", {}, huge_page("2097152 kB\n"), 0},
        {"huge page size too large", {}, huge_page("99999999999999999999999\n"), 0},
        {"smaps: huge pages, address at the start", {}, huge_at(smaps_entry(huge), start), 1},
        {"smaps: huge pages, address inside", {}, huge_at(smaps_entry(huge), start + 4096), 1},
        {"smaps: huge pages, address at the end", {}, huge_at(smaps_entry(huge), end), 0},
        {"smaps: huge pages, address before", {}, huge_at(smaps_entry(huge), start - 1), 0},
        {"smaps: no huge pages, only shared ones", {}, huge_at(smaps_entry(none), start), 0},
        {"smaps: no AnonHugePages field", {}, huge_at(smaps_entry(""), start), 0},
        {"smaps: no header", {}, huge_at(huge, start), 0},
        {"v1: limit at the group, less usage net of the tree's cache",
         {{"memory/a/b/memory.limit_in_bytes", n(100 * mib)}, {"memory/a/b/memory.usage_in_bytes", n(30 * mib)},
          {"memory/a/b/memory.stat", v1_stat(0, 10 * mib, 5 * mib)}}, room(v1), 85 * mib},
        {"v1: limit at a parent, another process near it",
         {{"memory/a/b/memory.limit_in_bytes", n(unlimited_v1)}, {"memory/a/b/memory.usage_in_bytes", n(62 * mib)},
          {"memory/a/b/memory.stat", v1_stat(0, 0, 0)},
          {"memory/a/memory.limit_in_bytes", n(72 * mib)}, {"memory/a/memory.usage_in_bytes", n(63 * mib)},
          {"memory/a/memory.stat", v1_stat(0, mib, 0)}}, room(v1), 10 * mib},
        {"v1: limit at the top",
         {{"memory/memory.limit_in_bytes", n(80 * mib)}, {"memory/memory.usage_in_bytes", n(20 * mib)}},
         room(v1), 60 * mib},
        {"v1: usage near the limit, mostly page cache",
         {{"memory/a/b/memory.limit_in_bytes", n(72 * mib)}, {"memory/a/b/memory.usage_in_bytes", n(70 * mib)},
          {"memory/a/b/memory.stat", v1_stat(60 * mib, 40 * mib, 20 * mib)}}, room(v1), 62 * mib},
        {"v1: the group's own cache is not the tree's",
         {{"memory/a/b/memory.limit_in_bytes", n(72 * mib)}, {"memory/a/b/memory.usage_in_bytes", n(70 * mib)},
          {"memory/a/b/memory.stat", v1_stat(60 * mib, 0, 0)}}, room(v1), 2 * mib},
        {"v1: a limit without usage", {{"memory/a/b/memory.limit_in_bytes", n(100 * mib)}}, room(v1), 0},
        {"v1: controllers mounted together",
         {{"cpu,memory/x/memory.limit_in_bytes", n(100 * mib)}, {"cpu,memory/x/memory.usage_in_bytes", n(mib)}},
         room("3:cpu,memory:/x\n"), 99 * mib},
        {"v1: no limit files", {}, room(v1), host::unlimited},
        {"v2: memory.high below memory.max",
         {{"a/b/memory.max", n(100 * mib)}, {"a/b/memory.high", n(50 * mib)}, {"a/b/memory.current", n(20 * mib)},
          {"a/b/memory.stat", v2_stat(10 * mib, 4 * mib, 6 * mib)}}, room(v2), 40 * mib},
        {"v2: memory.max alone",
         {{"a/b/memory.max", n(100 * mib)}, {"a/b/memory.high", "max\n"}, {"a/b/memory.current", n(10 * mib)}},
         room(v2), 90 * mib},
        {"v2: limit at a parent, the tighter one counts",
         {{"a/b/memory.max", "max\n"}, {"a/b/memory.current", n(5 * mib)},
          {"a/memory.max", n(1024 * mib)}, {"a/memory.high", n(40 * mib)}, {"a/memory.current", n(30 * mib)},
          {"a/memory.stat", v2_stat(30 * mib, 0, 0)}}, room(v2), 10 * mib},
        {"v2: over memory.high", {{"a/b/memory.high", n(10 * mib)}, {"a/b/memory.current", n(12 * mib)}}, room(v2), 0},
        {"v2: max everywhere", {{"a/b/memory.max", "max\n"}, {"a/memory.max", "max\n"}}, room(v2), host::unlimited},
        {"v2: at the namespace's root", {{"memory.max", n(64 * mib)}, {"memory.current", n(0)}}, room("0::/\n"), 64 * mib},
        {"v1 and v2 both listed: v1 holds the controller",
         {{"memory/a/b/memory.limit_in_bytes", n(100 * mib)}, {"memory/a/b/memory.usage_in_bytes", n(0)},
          {"a/b/memory.max", n(mib)}}, room("4:memory:/a/b\n0::/a/b\n"), 100 * mib},
        {"no cgroup text", {}, room(""), host::unlimited},
        {"a group outside the namespace", {{"memory.max", n(mib)}}, room("0::/../x\n"), host::unlimited},
    };
    // clang-format on
    for (const Probe& p : probes) {
        SCOPED_TRACE(p.name);
        std::string pattern = (fs::temp_directory_path() / "hexshow-probe-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        const fs::path root = pattern;
        for (const auto& [file, text] : p.files) {
            fs::create_directories((root / file).parent_path());
            std::ofstream(root / file) << text;
        }
        EXPECT_EQ(p.probe(root.string()), p.want);
        fs::remove_all(root);
    }
}

TEST(Choice, TakesEachPathOnlyWhereItServes) {
    using output::path;
    const auto way = [](int flags, unsigned type, off_t input) {
        return static_cast<long long>(output::preferred({flags, type, input}));
    };
    const auto splice = static_cast<long long>(path::splice);
    const auto reserve = static_cast<long long>(path::reserve);
    const auto write = static_cast<long long>(path::write);
    const auto fits = [](long long room, std::size_t region) {
        return output::room_to_splice(room, region) ? 1LL : 0LL;
    };
    const off_t input_mib = 1 << 20;
    struct Row {
        std::string name;
        long long got;
        long long want;
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"a pipe, 1 MiB of input", way(O_WRONLY, S_IFIFO, input_mib), splice},
        {"a pipe open for reading and writing", way(O_RDWR, S_IFIFO, input_mib), splice},
        {"a pipe, less than 1 MiB", way(O_WRONLY, S_IFIFO, input_mib - 1), write},
        {"a pipe's read end", way(O_RDONLY, S_IFIFO, 64 * input_mib), write},
        {"a pipe of unknown flags", way(-1, S_IFIFO, input_mib), write},
        {"a file", way(O_WRONLY, S_IFREG, 1), reserve},
        {"a file, appended to", way(O_WRONLY | O_APPEND, S_IFREG, 1), reserve},
        {"a file, input of unknown size", way(O_WRONLY, S_IFREG, 0), write},
        {"a file open for reading only", way(O_RDONLY, S_IFREG, 1), write},
        {"a terminal or /dev/null", way(O_WRONLY, S_IFCHR, input_mib), write},
        {"a socket", way(O_RDWR, S_IFSOCK, input_mib), write},
        {"regions of 2 MiB pages", static_cast<long long>(output::region_size(2 << 20)), 6 * mib},
        {"regions of 64 KiB pages", static_cast<long long>(output::region_size(64 << 10)), 6 * mib},
        {"regions of 16 MiB pages", static_cast<long long>(output::region_size(16 << 20)), 16 * mib},
        {"regions of 32 MiB pages", static_cast<long long>(output::region_size(32 << 20)), 32 * mib},
        {"regions of 512 MiB pages", static_cast<long long>(output::region_size(512 << 20)), 0},
        {"no huge pages", static_cast<long long>(output::region_size(0)), 0},
        {"room of 64 MiB", fits(64 * mib, 6 << 20), 1},
        {"room just under 64 MiB", fits(64 * mib - 1, 6 << 20), 0},
        {"room of 10 MiB", fits(10 * mib, 6 << 20), 0},
        {"no room", fits(0, 6 << 20), 0},
        {"no limit", fits(host::unlimited, 6 << 20), 1},
        {"room of eight 32 MiB regions", fits(256 * mib, 32 << 20), 1},
        {"room just under eight 32 MiB regions", fits(256 * mib - 1, 32 << 20), 0},
    };
    // clang-format on
    for (const Row& row : rows) {
        EXPECT_EQ(row.got, row.want) << row.name;
    }
}

} // namespace
