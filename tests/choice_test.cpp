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
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr long long mib = 1LL << 20;

// The text of a stat file: "name value" lines; of a cgroup file: a value.
std::string lines(std::initializer_list<std::pair<const char*, long long>> fields) {
    std::string text;
    for (const auto& [name, value] : fields) {
        text += std::string(name) + " " + std::to_string(value) + "\n";
    }
    return text;
}
std::string n(long long value) {
    return std::to_string(value) + "\n";
}

// An smaps entry for 7f000000-7f600000 with the given huge pages.
std::string smaps_entry(const std::string& huge_field) {
    return "7f000000-7f600000 rw-p 00000000 00:00 0 \nSize:               6144 kB\n"
           "ShmemPmdMapped:     2048 kB\n" +
           huge_field + "VmFlags: rd wr mr mw me ac hg\n";
}

struct Probe {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files; // under the fixture root
    std::function<long long(const std::string& root)> probe;
    long long want;
};

TEST(Probes, ReadWhatTheSystemSays) {
    const auto huge_page = [](const std::string& text) {
        return [text](const std::string&) {
            return static_cast<long long>(host::parse_huge_page_size(text));
        };
    };
    const auto huge_at = [](const std::string& entry, std::uintptr_t address) {
        return [entry, address](const std::string&) {
            return host::entry_has_huge_pages(entry, address) ? 1LL : 0LL;
        };
    };
    const auto room = [](const std::string& cgroups) {
        return
            [cgroups](const std::string& root) { return host::memory_room(cgroups, root.c_str()); };
    };
    constexpr std::uintptr_t start = 0x7f000000;
    const std::string huge = "AnonHugePages:      2048 kB\n";
    const std::string v1 = "12:pids:/\n4:memory:/a/b\n1:cpu:/\n0::/\n";
    const std::string v2 = "0::/a/b\n";
    const std::string g = "memory/a/b/memory.";
    // clang-format off
    const std::vector<Probe> probes = {
        {"huge page size of 2 MiB", {}, huge_page("2097152\n"), 2 * mib},
        {"huge page size 0", {}, huge_page("0\n"), 0},
        {"huge page size not a power of two", {}, huge_page("3000000\n"), 0},
        {"huge page size negative", {}, huge_page("-2097152\n"), 0},
        {"huge page size too large", {}, huge_page("99999999999999999999999\n"), 0},
        {"smaps: huge pages, address at the start", {}, huge_at(smaps_entry(huge), start), 1},
        {"smaps: huge pages, address at the end", {}, huge_at(smaps_entry(huge), start + 6 * mib), 0},
        {"smaps: huge pages, address before", {}, huge_at(smaps_entry(huge), start - 1), 0},
        {"smaps: no huge pages, only shared ones", {}, huge_at(smaps_entry("AnonHugePages: 0 kB\n"), start), 0},
        {"smaps: no AnonHugePages field", {}, huge_at(smaps_entry(""), start), 0},
        {"v1: limit at the group, less usage net of the tree's cache",
         {{g + "limit_in_bytes", n(100 * mib)}, {g + "usage_in_bytes", n(30 * mib)},
          {g + "stat", lines({{"total_active_file", 10 * mib}, {"total_inactive_file", 5 * mib}})}}, room(v1), 85 * mib},
        {"v1: limit at a parent, another process near it",
         {{g + "limit_in_bytes", n(9223372036854771712)}, {g + "usage_in_bytes", n(62 * mib)},
          {"memory/a/memory.limit_in_bytes", n(72 * mib)}, {"memory/a/memory.usage_in_bytes", n(63 * mib)},
          {"memory/a/memory.stat", lines({{"total_active_file", mib}})}}, room(v1), 10 * mib},
        {"v1: the group's own cache is not the tree's",
         {{g + "limit_in_bytes", n(72 * mib)}, {g + "usage_in_bytes", n(70 * mib)},
          {g + "stat", lines({{"active_file", 60 * mib}, {"total_active_file", 0}})}}, room(v1), 2 * mib},
        {"v1: a limit without usage", {{g + "limit_in_bytes", n(100 * mib)}}, room(v1), 0},
        {"v1: controllers mounted together",
         {{"cpu,memory/x/memory.limit_in_bytes", n(100 * mib)}, {"cpu,memory/x/memory.usage_in_bytes", n(mib)}},
         room("3:cpu,memory:/x\n"), 99 * mib},
        {"v1: no limit files", {}, room(v1), host::unlimited},
        {"v2: memory.high below memory.max",
         {{"a/b/memory.max", n(100 * mib)}, {"a/b/memory.high", n(50 * mib)}, {"a/b/memory.current", n(20 * mib)},
          {"a/b/memory.stat", lines({{"anon", 10 * mib}, {"inactive_file", 6 * mib}, {"active_file", 4 * mib}})}},
         room(v2), 40 * mib},
        {"v2: limit at a parent, the tighter one counts",
         {{"a/b/memory.max", "max\n"}, {"a/b/memory.current", n(5 * mib)}, {"a/memory.max", n(1024 * mib)},
          {"a/memory.high", n(40 * mib)}, {"a/memory.current", n(30 * mib)}}, room(v2), 10 * mib},
        {"v2: over memory.high", {{"a/b/memory.high", n(10 * mib)}, {"a/b/memory.current", n(12 * mib)}}, room(v2), 0},
        {"v2: max everywhere", {{"a/b/memory.max", "max\n"}, {"a/memory.max", "max\n"}}, room(v2), host::unlimited},
        {"v2: at the namespace's root", {{"memory.max", n(64 * mib)}, {"memory.current", n(0)}}, room("0::/\n"), 64 * mib},
        {"v1 and v2 both listed: v1 holds the controller",
         {{g + "limit_in_bytes", n(100 * mib)}, {g + "usage_in_bytes", n(0)}, {"a/b/memory.max", n(mib)}},
         room("4:memory:/a/b\n0::/a/b\n"), 100 * mib},
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
        {"a file", way(O_WRONLY, S_IFREG, 1), reserve},
        {"a file, appended to", way(O_WRONLY | O_APPEND, S_IFREG, 1), reserve},
        {"a file, input of unknown size", way(O_WRONLY, S_IFREG, 0), write},
        {"a terminal or /dev/null", way(O_WRONLY, S_IFCHR, input_mib), write},
        {"a socket", way(O_RDWR, S_IFSOCK, input_mib), write},
        {"regions of 2 MiB pages", static_cast<long long>(output::region_size(2 << 20)), 6 * mib},
        {"regions of 32 MiB pages", static_cast<long long>(output::region_size(32 << 20)), 32 * mib},
        {"regions of 512 MiB pages", static_cast<long long>(output::region_size(512 << 20)), 0},
        {"no huge pages", static_cast<long long>(output::region_size(0)), 0},
        {"room of 64 MiB", fits(64 * mib, 6 << 20), 1},
        {"room just under 64 MiB", fits(64 * mib - 1, 6 << 20), 0},
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
