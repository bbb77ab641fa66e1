// hexshow: print every byte of numbers.bin as two uppercase hexadecimal
// digits and a space.
#include "hexencode.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

namespace {

// Pipe capacity asked for when standard output is a smaller pipe: room for a
// few output blocks, so the writer is not woken for every page the reader
// takes. Failure only leaves the pipe as it was.
constexpr int pipe_capacity = 1024 * 1024;

void widen_pipe(int fd) {
    const int size = fcntl(fd, F_GETPIPE_SZ);
    if (size > 0 && size < pipe_capacity) {
        fcntl(fd, F_SETPIPE_SZ, pipe_capacity);
    }
}

// Reads up to n bytes; returns the count, 0 at the end, or -1 with errno set.
ssize_t read_block(int fd, unsigned char* buf, std::size_t n) {
    for (;;) {
        const ssize_t got = read(fd, buf, n);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

// Writes all n bytes; returns 0, or the error number of the failed write.
// A non-blocking descriptor is waited on rather than failed.
int write_all(int fd, const char* buf, std::size_t n) {
    while (n > 0) {
        const ssize_t put = write(fd, buf, n);
        if (put >= 0) {
            buf += put;
            n -= static_cast<std::size_t>(put);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd ready = {fd, POLLOUT, 0};
            if (poll(&ready, 1, -1) < 0 && errno != EINTR) {
                return errno;
            }
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// True when out is the input file itself, holding bytes: every block written
// would be read again, and the file would grow until the disk is full. (When
// the input took the descriptor of a closed standard output, writes to it
// fail on their own.)
bool feeds_itself(int in, int out) {
    struct stat input {};
    struct stat output {};
    return in != out && fstat(in, &input) == 0 && fstat(out, &output) == 0 &&
           S_ISREG(input.st_mode) && input.st_dev == output.st_dev &&
           input.st_ino == output.st_ino && input.st_size > 0;
}

// A failed dump: the context of the report and the error number.
struct failure {
    const char* context;
    int error;
};

// Writes the dump text of fd to standard output; returns a null context when
// the whole input was written.
failure dump(int fd, hexencode::kernel encode) {
    alignas(64) unsigned char in[hexencode::block_size];
    alignas(64) char out[3 * hexencode::block_size];
    for (;;) {
        const ssize_t got = read_block(fd, in, sizeof in);
        if (got == 0) {
            return {nullptr, 0};
        }
        if (got < 0) {
            return {"Error reading file", errno};
        }
        const auto n = static_cast<std::size_t>(got);
        encode(in, n, out);
        if (const int error = write_all(STDOUT_FILENO, out, 3 * n)) {
            return {"Error writing output", error};
        }
    }
}

} // namespace

int main() {
    const int fd = open("numbers.bin", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        perror("Error opening file");
        return 1;
    }
    if (feeds_itself(fd, STDOUT_FILENO)) {
        close(fd);
        fputs("Error writing output: input file is output file\n", stderr);
        return 1;
    }
#ifdef HEXSHOW_KERNEL
    const hexencode::kernel encode = hexencode::best(HEXSHOW_KERNEL).encode;
#else
    const hexencode::kernel encode = hexencode::best().encode;
#endif
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    widen_pipe(STDOUT_FILENO);

    const failure failed = dump(fd, encode);
    close(fd);
    if (failed.context != nullptr) {
        errno = failed.error;
        perror(failed.context);
        return 1;
    }
    // Some file systems report a failed write only when the file is closed.
    // A standard output that was never open has lost nothing if nothing was
    // written to it, so EBADF is not a failure here.
    if (close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR) {
        perror("Error writing output");
        return 1;
    }
    return 0;
}
