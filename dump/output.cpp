#include "output.h"

#include "host.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace output {

namespace {

constexpr std::size_t mib = std::size_t{1} << 20;
// Splicing pays from about this much input on; below it, write() is as fast.
constexpr off_t splice_threshold = off_t{1} << 20;
// Regions hold at least sixteen blocks of text (6 MiB of 2 MiB pages), in one
// 32 MiB page at most.
constexpr std::size_t region_least = 6 * mib;
constexpr std::size_t region_most = 32 * mib;
// Splicing holds a region and the pages a full pipe still refers to: about
// 8 MiB at its peak with 6 MiB regions. It is taken only where the room left
// is eight times that, and eight regions.
constexpr long long splice_room_least = 64LL << 20;
constexpr long long splice_room_regions = 8;
// Pipe capacity asked for when splicing: room for a few blocks of text, so
// the writer is not woken for every page the reader takes.
constexpr int pipe_capacity = 1 << 20;
// File space reserved ahead of the text, at most.
constexpr off_t reserve_window = off_t{16} << 20;
constexpr off_t off_max = std::numeric_limits<off_t>::max();

// Sums and products of sizes and offsets, none negative, that stop at the
// largest off_t instead of overflowing.
off_t add_saturating(off_t a, off_t b) {
    off_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? off_max : sum;
}

off_t triple_saturating(off_t a) {
    off_t product = 0;
    return __builtin_mul_overflow(a, 3, &product) ? off_max : product;
}

// n rounded up to a multiple of a power of two.
std::size_t round_up(std::size_t n, std::size_t power_of_two) {
    return (n + power_of_two - 1) & ~(power_of_two - 1);
}

bool again(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Waits until fd can take more; returns 0 or an error number.
int wait_writable(int fd) {
    pollfd ready = {fd, POLLOUT, 0};
    return poll(&ready, 1, -1) < 0 && errno != EINTR ? errno : 0;
}

// Writes all n bytes; returns 0, or the error number of the failed write. A
// socket that refuses a message as too long is given halves, down to a page.
int put_write(sink& out, const char* text, std::size_t n) {
    while (n > 0) {
        const std::size_t piece = std::min(n, out.write.piece);
        const ssize_t put = ::write(out.fd, text, piece);
        if (put > 0) {
            text += put;
            n -= static_cast<std::size_t>(put);
        } else if (put == 0) {
            return ENOSPC;
        } else if (errno == EMSGSIZE && piece > out.page) {
            out.write.piece = std::max(out.page, piece / 2);
        } else if (again(errno)) {
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
// is written the rest, and the path steps aside.
int put_splice(sink& out, const char* text, std::size_t n) {
    iovec left = {const_cast<char*>(text), n};
    while (left.iov_len > 0) {
        const ssize_t put = vmsplice(out.fd, &left, 1, 0);
        if (put > 0) {
            left.iov_base = static_cast<char*>(left.iov_base) + put;
            left.iov_len -= static_cast<std::size_t>(put);
        } else if (put == 0) {
            return ENOSPC;
        } else if (errno == EINVAL || errno == ENOSYS || errno == EBADF || errno == EPERM) {
            const int error = put_write(out, static_cast<const char*>(left.iov_base), left.iov_len);
            step_aside(out);
            return error;
        } else if (again(errno)) {
            if (const int error = wait_writable(out.fd)) {
                return error;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
    out.splice.used += round_up(n, out.page);
    return 0;
}

// Keeps the space of the next n bytes of text reserved: when they would pass
// the end of the reservation, the next window is reserved from where the
// text goes (the end of the file under O_APPEND), never past the text the
// input promises nor past the file size limit. When nothing more can be
// reserved, the path steps aside.
void reserve_ahead(sink& out, std::size_t n) {
    reserve_state& reserve = out.reserve;
    if (static_cast<off_t>(n) <= reserve.ahead) {
        return;
    }
    struct stat file {};
    const off_t at = reserve.append ? (fstat(out.fd, &file) == 0 ? file.st_size : -1)
                                    : lseek(out.fd, 0, SEEK_CUR);
    const off_t end = std::min(add_saturating(at, std::min(reserve_window, reserve.text_left)),
                               reserve.size_limit);
    if (at < 0 || end <= at || fallocate(out.fd, FALLOC_FL_KEEP_SIZE, at, end - at) != 0) {
        step_aside(out);
        return;
    }
    reserve.ahead = end - at;
}

// A region of fresh memory of the given size, advised to use huge pages and
// aligned to them: to the largest power of two that divides the size, which
// is a whole number of huge pages. Null when none can be mapped.
char* map_region(std::size_t size) {
    const std::size_t align = size & (~size + 1);
    const std::size_t span = size + align;
    void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t head = (align - (start & (align - 1))) & (align - 1);
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

// Takes the splice path when huge pages serve and memory allows: the first
// region must really be backed by a huge page once written (not with
// transparent huge pages off for the system or the process), for mapping and
// splicing small pages costs more than writing. Only then is the pipe
// widened.
void start_splicing(sink& out) {
    const std::size_t size = region_size(host::huge_page_size());
    if (size == 0 || !room_to_splice(host::memory_room(), size)) {
        return;
    }
    char* const region = map_region(size);
    if (region == nullptr) {
        return;
    }
    region[0] = ' ';
    if (!host::has_huge_pages(region)) {
        munmap(region, size);
        return;
    }
    out.way = path::splice;
    out.splice = {region, size, 0};
    const int capacity = fcntl(out.fd, F_GETPIPE_SZ);
    if (capacity > 0 && capacity < pipe_capacity) {
        fcntl(out.fd, F_SETPIPE_SZ, pipe_capacity);
    }
}

void start_reserving(sink& out, const destination& to) {
    rlimit size_limit{};
    const bool limited = getrlimit(RLIMIT_FSIZE, &size_limit) == 0 &&
                         size_limit.rlim_cur != RLIM_INFINITY &&
                         size_limit.rlim_cur < static_cast<rlim_t>(off_max);
    out.way = path::reserve;
    out.reserve = {(to.flags & O_APPEND) != 0, triple_saturating(to.input_size),
                   limited ? static_cast<off_t>(size_limit.rlim_cur) : off_max, 0};
}

} // namespace

path preferred(const destination& to) {
    if (to.flags < 0 || (to.flags & O_ACCMODE) == O_RDONLY) {
        return path::write;
    }
    if (S_ISFIFO(to.type) && to.input_size >= splice_threshold) {
        return path::splice;
    }
    if (S_ISREG(to.type) && to.input_size > 0) {
        return path::reserve;
    }
    return path::write;
}

std::size_t region_size(std::size_t huge_page) {
    if (huge_page == 0 || huge_page > region_most) {
        return 0;
    }
    return round_up(region_least, huge_page);
}

bool room_to_splice(long long room, std::size_t region) {
    return room >=
           std::max(splice_room_least, splice_room_regions * static_cast<long long>(region));
}

// The buffer is written through the sink, by whoever asks space() for it.
// NOLINTNEXTLINE(readability-non-const-parameter)
sink start(int fd, char* buffer, off_t input_size) {
    sink out{fd, buffer, host::page_size(), path::write, {}, {}, {}};
    struct stat file {};
    destination to;
    to.input_size = input_size;
    if (fstat(fd, &file) == 0) {
        to.flags = fcntl(fd, F_GETFL);
        to.type = file.st_mode & S_IFMT;
    }
    switch (preferred(to)) {
    case path::splice:
        start_splicing(out);
        break;
    case path::reserve:
        start_reserving(out, to);
        break;
    case path::write:
        break;
    }
    return out;
}

char* space(sink& out, std::size_t n) {
    if (out.way != path::splice) {
        return out.buffer;
    }
    splice_state& splice = out.splice;
    if (splice.used + n > splice.size) {
        munmap(splice.region, splice.size);
        splice.used = 0;
        splice.region = map_region(splice.size);
        if (splice.region == nullptr) {
            step_aside(out);
            return out.buffer;
        }
    }
    return splice.region + splice.used;
}

int put(sink& out, const char* text, std::size_t n) {
    if (out.way == path::splice) {
        return put_splice(out, text, n);
    }
    if (out.way == path::reserve) {
        reserve_ahead(out, n);
        const auto length = static_cast<off_t>(n);
        out.reserve.ahead -= std::min(out.reserve.ahead, length);
        out.reserve.text_left -= std::min(out.reserve.text_left, length);
    }
    return put_write(out, text, n);
}

void step_aside(sink& out) {
    finish(out);
    out.reserve = {};
    out.way = path::write;
}

void finish(sink& out) {
    if (out.splice.region != nullptr) {
        munmap(out.splice.region, out.splice.size);
    }
    out.splice = {};
}

} // namespace output
