#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <limits>

namespace output {

namespace {

// File space reserved ahead of the text, at most.
constexpr off_t window = off_t{16} << 20;
constexpr off_t off_max = std::numeric_limits<off_t>::max();

// The share of a pipe's capacity that one block's text fills, at most: a
// write the pipe holds returns at once, so the reader drains it while the
// next block is read and encoded.
constexpr std::size_t pipe_share_num = 3;
constexpr std::size_t pipe_share_den = 4;
// Blocks stay a whole number of cache lines, and of every kernel's step.
constexpr std::size_t block_step = 64;

// The block for a pipe of the given capacity (in bytes; not known when not
// positive).
std::size_t pipe_block(int capacity) {
    if (capacity <= 0) {
        return max_block;
    }
    const std::size_t text = static_cast<std::size_t>(capacity) / pipe_share_den * pipe_share_num;
    return std::clamp(text / 3 / block_step * block_step, block_step, max_block);
}

// Writes in a row that a non-blocking output refuses (EAGAIN) though poll
// said it takes more, at most: another writer of a shared pipe may win the
// race for its room now and then; an output that never takes what poll
// promises ends the dump rather than spin.
constexpr int refusals_max = 64;

// After a call on out.fd failed with error: 0 when it may be made again (it
// was interrupted, or the descriptor is non-blocking and full, and poll has
// waited until it takes more), or the error number that ends the dump. A
// blocking descriptor says EAGAIN only when a timeout of its own ran out
// (SO_SNDTIMEO).
int retry(sink& out, int error) {
    if (error == EINTR) {
        return 0;
    }
    if (error != EAGAIN && error != EWOULDBLOCK) {
        return error;
    }
    const int flags = fcntl(out.fd, F_GETFL);
    if (flags < 0 || (flags & O_NONBLOCK) == 0 || ++out.refusals > refusals_max) {
        return error;
    }
    pollfd ready = {out.fd, POLLOUT, 0};
    return poll(&ready, 1, -1) < 0 && errno != EINTR ? errno : 0;
}

// Keeps the space of the next n characters reserved: when they would pass
// the end of the reservation, the next window is reserved from where the
// text goes (the end of the file under O_APPEND), never past the text still
// to come. Where nothing more can be reserved, reserving stops; the text is
// written all the same.
void reserve(sink& out, std::size_t n) {
    const auto length = static_cast<off_t>(n);
    if (length > out.ahead) {
        struct stat file {};
        const off_t at = out.append ? (fstat(out.fd, &file) == 0 ? file.st_size : -1)
                                    : lseek(out.fd, 0, SEEK_CUR);
        // Not past the file size limit either: ext4 allocates beyond it
        // when the size is kept, with no signal, so blocks past the end
        // of the file stay within what the user allowed.
        const off_t span = at < 0 ? 0 : std::min({window, out.text_left, out.size_limit - at});
        if (span <= 0 || fallocate(out.fd, FALLOC_FL_KEEP_SIZE, at, span) != 0) {
            out.text_left = 0;
            return;
        }
        out.ahead = span;
    }
    out.ahead -= std::min(out.ahead, length);
    out.text_left -= std::min(out.text_left, length);
}

// Whether space is reserved ahead in fd, a regular file: only on the file
// systems listed, where paired runs show that it pays and where reserved
// space is stored as written space is. Elsewhere it may cost instead: space
// stored uncompressed for good (btrfs with compression), memory charged
// ahead of the text (tmpfs, and an overlay on it, which the descriptor does
// not tell apart), huge pages held by a file that cannot be written.
bool reserves(int fd) {
    static constexpr std::uint32_t measured[] = {EXT4_SUPER_MAGIC};
    struct statfs fs {};
    return fstatfs(fd, &fs) == 0 &&
           std::ranges::find(measured, static_cast<std::uint32_t>(fs.f_type)) != std::end(measured);
}

} // namespace

sink start(int fd, const struct stat* status, off_t text_size) {
    sink out{fd};
    if (status == nullptr) {
        return out;
    }
    if (S_ISFIFO(status->st_mode)) {
        out.block = pipe_block(fcntl(fd, F_GETPIPE_SZ));
        return out;
    }
    if (!S_ISREG(status->st_mode) || text_size <= 0) {
        return out;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || !reserves(fd)) {
        return out;
    }
    rlimit limit{};
    const bool limited = getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                         limit.rlim_cur < static_cast<rlim_t>(off_max);
    out.append = (flags & O_APPEND) != 0;
    out.text_left = text_size;
    out.size_limit = limited ? static_cast<off_t>(limit.rlim_cur) : off_max;
    return out;
}

// A socket that refuses a message as too long is given halves of it.
int put(sink& out, const char* text, std::size_t n) {
    if (out.text_left > 0) {
        reserve(out, n);
    }
    while (n > 0) {
        const std::size_t piece = std::min(n, out.piece);
        const ssize_t written = write(out.fd, text, piece);
        if (written > 0) {
            out.refusals = 0;
            text += written;
            n -= static_cast<std::size_t>(written);
        } else if (written == 0) {
            return ENOSPC;
        } else if (errno == EMSGSIZE && piece > 1) {
            out.piece = piece / 2;
        } else if (const int error = retry(out, errno)) {
            return error;
        }
    }
    return 0;
}

} // namespace output
