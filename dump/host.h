// Facts of the running system that the choice of output path depends on:
// page sizes, whether a region of memory really got huge pages, and how much
// memory the process's control groups leave. Each fact has a plain function
// that takes the text it is read from, and a thin wrapper that reads the
// real file.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace host {

// The system's page size, or 4096 when it cannot be had.
std::size_t page_size();

// The transparent huge page size in the text of hpage_pmd_size: a power of
// two in bytes, or 0 for anything else.
std::size_t parse_huge_page_size(std::string_view text);
// The same read from /sys/kernel/mm/transparent_hugepage/hpage_pmd_size; 0
// when the kernel has no transparent huge pages.
std::size_t huge_page_size();

// Whether one entry of /proc/self/smaps (its header line and the fields
// after it) maps address and holds anonymous huge pages.
bool entry_has_huge_pages(std::string_view entry, std::uintptr_t address);
// The same for the entry of this process's memory that maps address.
bool has_huge_pages(const void* address);

// No limit on memory anywhere up the control group tree.
inline constexpr long long unlimited = LLONG_MAX;
// The least room, in bytes, that any memory limit of the process's control
// group and those above it leaves: the limit (cgroup v2 memory.max and
// memory.high, or v1 memory.limit_in_bytes) less what the group holds that
// cannot be reclaimed (its usage less its page cache). cgroups is the text
// of /proc/self/cgroup; root stands for /sys/fs/cgroup. 0 when a limit is
// set but the usage under it cannot be read.
long long memory_room(std::string_view cgroups, const char* root);
// The same for this process.
long long memory_room();

} // namespace host
