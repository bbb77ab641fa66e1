// hexshow: print every byte of numbers.bin as two uppercase hexadecimal
// digits and a space.
#include "hexencode.h"
#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <limits>

namespace {

// How a dump ended.
struct outcome {
    enum { done, read_failed, write_failed, feeds_itself } how;
    int error; // the system's error number when reading or writing failed
};

// Reads up to n bytes; returns the count, 0 at the end, or -1 with errno set.
ssize_t read_block(int fd, unsigned char* buf, std::size_t n) {
    for (;;) {
        const ssize_t got = read(fd, buf, n);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

// The length of the text of a regular file, 0 for anything else; it stops
// at the largest off_t.
off_t text_size(const struct stat& input) {
    off_t size = 0;
    if (!S_ISREG(input.st_mode)) {
        return 0;
    }
    return __builtin_mul_overflow(input.st_size, 3, &size) ? std::numeric_limits<off_t>::max()
                                                           : size;
}

// Whether text written to b would be read back from a: the same file,
// FIFO or directory (device and inode), or the same block device by any
// node. A character device (a terminal, /dev/zero) does not give back what
// is written to it.
bool same_data(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISCHR(b.st_mode)) {
        return false;
    }
    if (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode)) {
        return a.st_rdev == b.st_rdev;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Writes the text of in to out. The buffers are static: a small stack limit
// must not stop the program.
outcome dump(int in, int out) {
    struct stat input {};
    struct stat output {};
    if (fstat(in, &input) != 0) {
        return {outcome::read_failed, errno};
    }
    // A standard output that is not open is not the input, and writes to it
    // fail on their own; so do writes to the input when it took the
    // descriptor of a closed standard output.
    const struct stat* to = nullptr;
    if (in != out) {
        if (fstat(out, &output) == 0) {
            to = &output;
        } else if (errno != EBADF) {
            return {outcome::write_failed, errno};
        }
    }
    const bool feeds_itself = to != nullptr && same_data(input, output);
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    output::sink sink = output::start(out, to, feeds_itself ? 0 : text_size(input));
    const hexencode::kernel encode = hexencode::best().encode;
    alignas(64) static unsigned char bytes[output::max_block];
    alignas(64) static char text[3 * output::max_block];
    for (;;) {
        const ssize_t got = read_block(in, bytes, sink.block);
        if (got == 0) {
            return {outcome::done, 0};
        }
        if (got < 0) {
            return {outcome::read_failed, errno};
        }
        if (feeds_itself) {
            return {outcome::feeds_itself, 0};
        }
        const auto n = static_cast<std::size_t>(got);
        encode(bytes, n, text);
        if (const int error = output::put(sink, text, 3 * n)) {
            return {outcome::write_failed, error};
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
    const outcome result = dump(fd, STDOUT_FILENO);
    close(fd);
    switch (result.how) {
    case outcome::feeds_itself:
        (void)fputs("Error writing output: input file is output file\n", stderr);
        return 1;
    case outcome::read_failed:
        errno = result.error;
        perror("Error reading file");
        return 1;
    case outcome::write_failed:
        errno = result.error;
        perror("Error writing output");
        return 1;
    case outcome::done:
        break;
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
