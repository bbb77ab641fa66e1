#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

namespace output {

namespace {

// File space reserved ahead of the text, at most.
constexpr off_t window = off_t{16} << 20;
constexpr off_t off_max = std::numeric_limits<off_t>::max();

// Sums of sizes and offsets that stop at the largest off_t instead of
// overflowing.
off_t add_saturating(off_t a, off_t b) {
    off_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? off_max : sum;
}

// After a call on fd failed with error: 0 when it may be made again (it was
// interrupted, or fd is non-blocking and full, and poll has waited until it
// takes more), or the error number that ends the dump.
int retry(int fd, int error) {
    if (error == EINTR) {
        return 0;
    }
    if (error != EAGAIN && error != EWOULDBLOCK) {
        return error;
    }
    pollfd ready = {fd, POLLOUT, 0};
    return poll(&ready, 1, -1) < 0 && errno != EINTR ? errno : 0;
}

// Keeps the space of the next n characters reserved: when they would pass
// the end of the reservation, the next window is reserved from where the
// text goes (the end of the file under O_APPEND), never past the text still
// to come nor past the file size limit. Where nothing more can be reserved,
// reserving stops; the text is written all the same.
void reserve(sink& out, std::size_t n) {
    const auto length = static_cast<off_t>(n);
    if (length > out.ahead) {
        struct stat file {};
        const off_t at = out.append ? (fstat(out.fd, &file) == 0 ? file.st_size : -1)
                                    : lseek(out.fd, 0, SEEK_CUR);
        const off_t end =
            std::min(add_saturating(at, std::min(window, out.text_left)), out.size_limit);
        if (at < 0 || end <= at || fallocate(out.fd, FALLOC_FL_KEEP_SIZE, at, end - at) != 0) {
            out.reserving = false;
            return;
        }
        out.ahead = end - at;
    }
    out.ahead -= std::min(out.ahead, length);
    out.text_left -= std::min(out.text_left, length);
}

} // namespace

sink start(int fd, const struct stat* status, off_t text_size) {
    sink out{fd};
    const int flags =
        status != nullptr && S_ISREG(status->st_mode) && text_size > 0 ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0) {
        return out;
    }
    rlimit limit{};
    const bool limited = getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                         limit.rlim_cur < static_cast<rlim_t>(off_max);
    out.reserving = true;
    out.append = (flags & O_APPEND) != 0;
    out.text_left = text_size;
    out.size_limit = limited ? static_cast<off_t>(limit.rlim_cur) : off_max;
    return out;
}

// A socket that refuses a message as too long is given halves of it.
int put(sink& out, const char* text, std::size_t n) {
    if (out.reserving) {
        reserve(out, n);
    }
    while (n > 0) {
        const std::size_t piece = std::min(n, out.piece);
        const ssize_t written = write(out.fd, text, piece);
        if (written > 0) {
            text += written;
            n -= static_cast<std::size_t>(written);
        } else if (written == 0) {
            return ENOSPC;
        } else if (errno == EMSGSIZE && piece > 1) {
            out.piece = piece / 2;
        } else if (const int error = retry(out.fd, errno)) {
            return error;
        }
    }
    return 0;
}

} // namespace output
