// The ways the dump text reaches standard output, one chosen at start:
// - into a pipe, when transparent huge pages serve and the input is large,
//   the text is encoded into fresh anonymous memory and spliced (vmsplice):
//   the pipe takes references to the pages instead of a copy. A page is never
//   written again once spliced, and each region is unmapped when it is full,
//   the pipe keeping its own references until the reader has taken them.
// - anywhere else, write(2) from one fixed buffer, in smaller pieces where a
//   socket refuses a long message. Into a regular file, the space for the
//   whole text is reserved first, and what was reserved and not written is
//   given back at the end.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace output {

inline constexpr std::size_t page_size = 4096;
inline constexpr std::size_t huge_page_size = std::size_t{2} * 1024 * 1024;
// Fresh memory is mapped in regions of three huge pages, which hold the text
// of exactly sixteen full blocks of input.
inline constexpr std::size_t region_size = 3 * huge_page_size;
// Splicing pays from about this much input on; below it, write() is as fast.
inline constexpr off_t splice_threshold = off_t{1024} * 1024;
// Pipe capacity asked for: room for a few blocks of text, so the writer is
// not woken for every page the reader takes.
inline constexpr int pipe_capacity = 1024 * 1024;

struct sink;
inline int put_write(sink& out, const char* text, std::size_t n);

struct sink {
    int fd;
    char* buffer;                                                   // the fixed buffer
    int (*put)(sink&, const char* text, std::size_t n) = put_write; // the chosen path
    char* region = nullptr;                                         // fresh memory
    std::size_t used = 0;                                           // of the region
    std::size_t piece = SIZE_MAX;                                   // longest write taken
    off_t reserved_from = 0;                                        // file space reserved
    off_t reserved_to = 0;
    off_t written = 0;
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
        if (put >= 0) {
            text += put;
            n -= static_cast<std::size_t>(put);
            out.written += put;
        } else if (errno == EMSGSIZE && piece > page_size) {
            out.piece = std::max(page_size, piece / 2);
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
        if (put >= 0) {
            left.iov_base = static_cast<char*>(left.iov_base) + put;
            left.iov_len -= static_cast<std::size_t>(put);
        } else if (errno == EINVAL || errno == ENOSYS || errno == EBADF || errno == EPERM) {
            out.put = put_write;
            return put_write(out, static_cast<const char*>(left.iov_base), left.iov_len);
        } else if (errno == EAGAIN) {
            if (const int error = wait_writable(out.fd)) {
                return error;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
    out.used += (n + page_size - 1) & ~(page_size - 1);
    return 0;
}

// A region of fresh memory aligned to huge pages and advised to use them, or
// null when none can be mapped.
inline char* map_region() {
    constexpr std::size_t span = region_size + huge_page_size;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t head = (huge_page_size - start % huge_page_size) % huge_page_size;
    char* const region = static_cast<char*>(mapped) + head;
    if (head > 0) {
        munmap(mapped, head);
    }
    if (span - head > region_size) {
        munmap(region + region_size, span - head - region_size);
    }
    madvise(region, region_size, MADV_HUGEPAGE);
    return region;
}

// Where the next n characters of text go. Fresh memory for splicing is
// mapped as the previous region fills; when none can be had, the text is
// written from the fixed buffer.
inline char* space(sink& out, std::size_t n) {
    if (out.put != put_splice) {
        return out.buffer;
    }
    if (out.region == nullptr || out.used + n > region_size) {
        if (out.region != nullptr) {
            munmap(out.region, region_size);
        }
        out.used = 0;
        out.region = map_region();
        if (out.region == nullptr) {
            out.put = put_write;
            return out.buffer;
        }
    }
    return out.region + out.used;
}

// The start of a /proc or /sys file as a string; empty when it cannot be read.
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

// True when the first region for splicing got huge pages: with 4 KiB pages,
// mapping and splicing fresh memory costs more than writing.
inline bool huge_pages_serve(sink& out) {
    char text[4096];
    const char* mode = read_text("/sys/kernel/mm/transparent_hugepage/enabled", text);
    if (mode[0] == '\0' || std::strstr(mode, "[never]") != nullptr) {
        return false;
    }
    out.region = map_region();
    if (out.region == nullptr) {
        return false;
    }
    out.region[0] = ' ';
    const char* field = std::strstr(read_text("/proc/self/smaps_rollup", text), "AnonHugePages:");
    if (field != nullptr && std::strtol(field + std::strlen("AnonHugePages:"), nullptr, 10) > 0) {
        return true;
    }
    munmap(out.region, region_size);
    out.region = nullptr;
    return false;
}

// Reserves length bytes of a regular file from where the text will go. A
// failure only leaves the file to grow as it is written.
inline void reserve(sink& out, const struct stat& file, off_t length) {
    const off_t from =
        (fcntl(out.fd, F_GETFL) & O_APPEND) != 0 ? file.st_size : lseek(out.fd, 0, SEEK_CUR);
    if (from >= 0 && from <= INT64_MAX - length &&
        fallocate(out.fd, FALLOC_FL_KEEP_SIZE, from, length) == 0) {
        out.reserved_from = from;
        out.reserved_to = from + length;
    }
}

// Chooses the way to out.fd for an input of input_size bytes (0 when not
// known).
inline void choose(sink& out, off_t input_size) {
    struct stat file {};
    if (fstat(out.fd, &file) != 0) {
        return;
    }
    if (S_ISFIFO(file.st_mode)) {
        const int size = fcntl(out.fd, F_GETPIPE_SZ);
        if (size > 0 && size < pipe_capacity) {
            fcntl(out.fd, F_SETPIPE_SZ, pipe_capacity);
        }
        if (input_size >= splice_threshold && huge_pages_serve(out)) {
            out.put = put_splice;
        }
    } else if (S_ISREG(file.st_mode) && input_size > 0 && input_size <= INT64_MAX / 3) {
        reserve(out, file, 3 * input_size);
    }
}

// Unmaps the region, and gives back the file space that was reserved and not
// written. Only space beyond the end of the file is touched, so nobody's data
// is lost; some file systems free it only on a truncation to the same size,
// done when the file still ends where this dump stopped.
inline void finish(sink& out) {
    if (out.region != nullptr) {
        munmap(out.region, region_size);
        out.region = nullptr;
    }
    const off_t end = out.reserved_from + out.written;
    struct stat file {};
    if (out.reserved_to <= end || fstat(out.fd, &file) != 0) {
        return;
    }
    const off_t from = std::max(end, file.st_size);
    if (from < out.reserved_to) {
        fallocate(out.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, from, out.reserved_to - from);
    }
    if (file.st_size == end) {
        [[maybe_unused]] const int kept = ftruncate(out.fd, end);
    }
    out.reserved_to = 0;
}

} // namespace output
