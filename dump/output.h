// The ways the dump text reaches standard output, one chosen at start:
// - splice: into a pipe open for writing, when the input is large and the
//   kernel gives this process transparent huge pages, the text is encoded into
//   fresh anonymous memory and spliced (vmsplice): the pipe takes references
//   to the pages instead of a copy. A page is never written again once
//   spliced, and each region is unmapped when it is full, the pipe keeping
//   its own references until the reader has taken them.
// - reserve: into a regular file, space is reserved (without changing the
//   file's size) a window ahead of where the text goes, so the file system
//   allocates it in large pieces; then the text is written. Nothing reserved
//   is ever given back: only space beyond the end of the file that the
//   program itself asked for, at most one window, is left by a dump that
//   stops early.
// - write: anywhere else, write(2) from one fixed buffer, in smaller pieces
//   where a socket refuses a long message.
// Every way reports the first failure as an error number; a call that makes
// no progress is a failure (ENOSPC), never retried.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace output {

// The fixed buffer starts on a page of the smallest size.
inline constexpr std::size_t buffer_alignment = 4096;
// Fresh memory is mapped in regions of whole huge pages that hold the text
// of at least sixteen full blocks of input: three pages of 2 MiB (x86-64, and
// aarch64 with 4 KiB pages), one of 32 MiB (aarch64 with 16 KiB pages). Where
// a huge page is larger, nothing is spliced.
inline constexpr std::size_t region_least = std::size_t{6} << 20;
inline constexpr std::size_t region_most = std::size_t{32} << 20;
// Splicing pays from about this much input on; below it, write() is as fast.
inline constexpr off_t splice_threshold = off_t{1024} * 1024;
// Splicing holds a region and the pages a full pipe still refers to, about
// 8 MiB at its peak with 6 MiB regions; under a memory limit below this, or
// below four regions, the text is written instead.
inline constexpr long long splice_memory = 64LL * 1024 * 1024;
// Pipe capacity asked for when splicing: room for a few blocks of text, so
// the writer is not woken for every page the reader takes.
inline constexpr int pipe_capacity = 1024 * 1024;
// File space reserved ahead of the text, at most.
inline constexpr off_t reserve_window = off_t{16} * 1024 * 1024;

enum class path { write, reserve, splice };

struct sink {
    int fd;
    char* buffer; // the fixed buffer
    path way = path::write;
    std::size_t page = 4096;      // the system's page size
    std::size_t piece = SIZE_MAX; // longest write taken
    char* region = nullptr;       // fresh memory, for splicing
    std::size_t region_size = 0;
    std::size_t used = 0;     // of the region
    bool append = false;      // the file is open with O_APPEND
    off_t text_left = 0;      // text still to come, by the input's size
    off_t size_limit = 0;     // the soft file size limit
    off_t reserved_ahead = 0; // reserved space not yet written
};

// Waits until fd can take more; returns 0 or an error number.
inline int wait_writable(int fd) {
    pollfd ready = {fd, POLLOUT, 0};
    return poll(&ready, 1, -1) < 0 && errno != EINTR ? errno : 0;
}

// Writes all n bytes; returns 0, or the error number of the failed write. A
// socket that refuses a message as too long is given halves, down to a page.
inline int put_write(sink& out, const char* text, std::size_t n) {
    while (n > 0) {
        const std::size_t piece = std::min(n, out.piece);
        const ssize_t put = write(out.fd, text, piece);
        if (put > 0) {
            text += put;
            n -= static_cast<std::size_t>(put);
        } else if (put == 0) {
            return ENOSPC;
        } else if (errno == EMSGSIZE && piece > out.page) {
            out.piece = std::max(out.page, piece / 2);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (const int error = wait_writable(out.fd)) {
                return error;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Splices all n bytes of text, which lie in the current region, into the
// pipe; the next text starts on a fresh page. A pipe that refuses splicing
// is written to from here on.
inline int put_splice(sink& out, const char* text, std::size_t n) {
    iovec left = {const_cast<char*>(text), n};
    while (left.iov_len > 0) {
        const ssize_t put = vmsplice(out.fd, &left, 1, 0);
        if (put > 0) {
            left.iov_base = static_cast<char*>(left.iov_base) + put;
            left.iov_len -= static_cast<std::size_t>(put);
        } else if (put == 0) {
            return ENOSPC;
        } else if (errno == EINVAL || errno == ENOSYS || errno == EBADF || errno == EPERM) {
            out.way = path::write;
            return put_write(out, static_cast<const char*>(left.iov_base), left.iov_len);
        } else if (errno == EAGAIN) {
            if (const int error = wait_writable(out.fd)) {
                return error;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
    out.used += (n + out.page - 1) / out.page * out.page;
    return 0;
}

// Keeps the space of the next n bytes of text reserved: when they would pass
// the end of the reservation, the next window is reserved from where the
// text goes (the end of the file under O_APPEND), never past the text the
// input promises nor past the file size limit. When nothing more can be
// reserved, the file is written to as it is.
inline void reserve_ahead(sink& out, std::size_t n) {
    if (static_cast<off_t>(n) <= out.reserved_ahead) {
        return;
    }
    struct stat file {};
    const off_t at =
        out.append ? (fstat(out.fd, &file) == 0 ? file.st_size : -1) : lseek(out.fd, 0, SEEK_CUR);
    const off_t end = std::min(at + std::min(reserve_window, out.text_left), out.size_limit);
    if (at < 0 || end <= at || fallocate(out.fd, FALLOC_FL_KEEP_SIZE, at, end - at) != 0) {
        out.way = path::write;
        return;
    }
    out.reserved_ahead = end - at;
}

// Writes n bytes of text into the way chosen.
inline int put(sink& out, const char* text, std::size_t n) {
    if (out.way == path::splice) {
        return put_splice(out, text, n);
    }
    if (out.way == path::reserve) {
        reserve_ahead(out, n);
        out.reserved_ahead -= std::min(out.reserved_ahead, static_cast<off_t>(n));
        out.text_left -= std::min(out.text_left, static_cast<off_t>(n));
    }
    return put_write(out, text, n);
}

// A region of fresh memory of the given size, advised to use huge pages and
// aligned to them: to the largest power of two that divides the size, which
// is a whole number of huge pages. Null when none can be mapped.
inline char* map_region(std::size_t size) {
    const std::size_t align = size & (~size + 1);
    const std::size_t span = size + align;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t head = (align - start % align) % align;
    char* const region = static_cast<char*>(mapped) + head;
    if (head > 0) {
        munmap(mapped, head);
    }
    if (span - head > size) {
        munmap(region + size, span - head - size);
    }
    madvise(region, size, MADV_HUGEPAGE);
    return region;
}

// Where the next n characters of text go. Fresh memory for splicing is
// mapped as the previous region fills; when none can be had, the splice
// path is left here and the text is written from the fixed buffer.
inline char* space(sink& out, std::size_t n) {
    if (out.way != path::splice) {
        return out.buffer;
    }
    if (out.used + n > out.region_size) {
        munmap(out.region, out.region_size);
        out.used = 0;
        out.region = map_region(out.region_size);
        if (out.region == nullptr) {
            out.way = path::write;
            return out.buffer;
        }
    }
    return out.region + out.used;
}

// The start of a /proc, /sys or cgroup file as a string; empty when it cannot
// be read.
template <std::size_t size>
const char* read_text(const char* path, char (&text)[size]) {
    text[0] = '\0';
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t got = read(fd, text, size - 1);
        text[got > 0 ? got : 0] = '\0';
        close(fd);
    }
    return text;
}

// The anonymous memory of this process held in huge pages, in KiB, or -1.
inline long huge_kib() {
    char text[4096];
    const char* field = std::strstr(read_text("/proc/self/smaps_rollup", text), "AnonHugePages:");
    return field == nullptr ? -1 : std::strtol(field + std::strlen("AnonHugePages:"), nullptr, 10);
}

// A region of fresh memory that the kernel did back with a huge page when
// it was first written, or null: with small pages (transparent huge pages
// off for the system or for this process), mapping and splicing fresh memory
// costs more than writing.
inline char* huge_region(std::size_t size) {
    const long before = huge_kib();
    char* const region = map_region(size);
    if (region == nullptr) {
        return nullptr;
    }
    region[0] = ' ';
    if (before >= 0 && huge_kib() > before) {
        return region;
    }
    munmap(region, size);
    return nullptr;
}

// The size of the regions to splice from, by the huge page size of the
// running kernel; 0 when it has none, or none small enough.
inline std::size_t region_size() {
    char text[64];
    const std::size_t huge = std::strtoull(
        read_text("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", text), nullptr, 10);
    const std::size_t size = huge == 0 ? 0 : (region_least + huge - 1) / huge * huge;
    return size <= region_most ? size : 0;
}

// The smallest memory limit of this process's control group and those above
// it (cgroup v2, or the v1 memory controller), in bytes; -1 when none is set
// or none can be read.
inline long long memory_limit() {
    char text[4096];
    const char* groups = read_text("/proc/self/cgroup", text);
    const char* v1 = std::strstr(groups, ":memory:");
    const char* v2 = std::strncmp(groups, "0::", 3) == 0 ? groups : std::strstr(groups, "\n0::");
    const char* base = v1 != nullptr ? "/sys/fs/cgroup/memory" : "/sys/fs/cgroup";
    const char* file = v1 != nullptr ? "memory.limit_in_bytes" : "memory.max";
    const char* group = v1 != nullptr ? v1 + std::strlen(":memory:")
                                      : (v2 != nullptr ? std::strstr(v2, "::") + 2 : nullptr);
    if (group == nullptr) {
        return -1;
    }
    char dir[4096];
    const int length = std::snprintf(dir, sizeof dir, "%s%.*s", base,
                                     static_cast<int>(std::strcspn(group, "\n")), group);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof dir) {
        return -1;
    }
    long long smallest = -1;
    for (char* end = dir + length; end != nullptr; end = std::strrchr(dir, '/')) {
        *end = '\0';
        char path[sizeof dir + 32];
        char value[64];
        (void)std::snprintf(path, sizeof path, "%s/%s", dir, file);
        char* after = nullptr;
        const long long limit = std::strtoll(read_text(path, value), &after, 10);
        if (after != value && (smallest < 0 || limit < smallest)) {
            smallest = limit;
        }
        if (std::strcmp(dir, base) == 0) {
            break;
        }
    }
    return smallest;
}

// The first region, of the given size, to splice from, when huge pages serve
// and memory allows; else null.
inline char* splice_region(std::size_t size) {
    const long long limit = memory_limit();
    const auto needed = std::max(splice_memory, 4 * static_cast<long long>(size));
    return limit >= 0 && limit < needed ? nullptr : huge_region(size);
}

// Takes the splice path when it serves, and widens the pipe for it.
inline void start_splicing(sink& out) {
    out.region_size = region_size();
    out.region = out.region_size == 0 ? nullptr : splice_region(out.region_size);
    if (out.region == nullptr) {
        return;
    }
    out.way = path::splice;
    const int size = fcntl(out.fd, F_GETPIPE_SZ);
    if (size > 0 && size < pipe_capacity) {
        fcntl(out.fd, F_SETPIPE_SZ, pipe_capacity);
    }
}

// Chooses the way to out.fd for an input of input_size bytes (0 when not
// known). Only a descriptor open for writing is spliced into or reserved in:
// vmsplice on a read-only pipe would take the data out of it.
inline void choose(sink& out, off_t input_size) {
    struct stat file {};
    const long page = sysconf(_SC_PAGESIZE);
    out.page = page > 0 ? static_cast<std::size_t>(page) : out.page;
    const int flags = fcntl(out.fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || fstat(out.fd, &file) != 0) {
        return;
    }
    if (S_ISFIFO(file.st_mode) && input_size >= splice_threshold) {
        start_splicing(out);
    } else if (S_ISREG(file.st_mode) && input_size > 0 && input_size <= INT64_MAX / 3) {
        rlimit size_limit{};
        out.way = path::reserve;
        out.append = (flags & O_APPEND) != 0;
        out.text_left = 3 * input_size;
        out.size_limit = getrlimit(RLIMIT_FSIZE, &size_limit) == 0 &&
                                 size_limit.rlim_cur < static_cast<rlim_t>(INT64_MAX)
                             ? static_cast<off_t>(size_limit.rlim_cur)
                             : INT64_MAX;
    }
}

// Releases the memory of the splice path.
inline void finish(sink& out) {
    if (out.region != nullptr) {
        munmap(out.region, out.region_size);
        out.region = nullptr;
    }
}

} // namespace output
