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

namespace {

// Reads up to n bytes; returns the count, 0 at the end, or -1 with errno set.
ssize_t read_block(int fd, unsigned char* buf, std::size_t n) {
    for (;;) {
        const ssize_t got = read(fd, buf, n);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

// A failed dump: the context of the report and the error number.
struct failure {
    const char* context;
    int error;
};

constexpr const char* reading = "Error reading file";
constexpr const char* writing = "Error writing output";
// Not an error of the system's: the report's own text.
constexpr int feeds_itself = -1;

// Whether out is the input file itself, holding bytes: every block written
// would be read again, and the file would grow until the disk is full. When
// that cannot be told, the dump does not start either. (When the input took
// the descriptor of a closed standard output, writes to it fail on their
// own; a standard output that is not open is not the input.)
failure check_not_input(int in, int out) {
    struct stat input {};
    struct stat output {};
    if (in == out) {
        return {nullptr, 0};
    }
    if (fstat(in, &input) != 0) {
        return {reading, errno};
    }
    if (fstat(out, &output) != 0) {
        return errno == EBADF ? failure{nullptr, 0} : failure{writing, errno};
    }
    const bool same = S_ISREG(input.st_mode) && input.st_dev == output.st_dev &&
                      input.st_ino == output.st_ino && input.st_size > 0;
    return same ? failure{writing, feeds_itself} : failure{nullptr, 0};
}

// The size of the input when it is a regular file, or 0.
off_t input_size(int fd) {
    struct stat input {};
    return fstat(fd, &input) == 0 && S_ISREG(input.st_mode) ? input.st_size : 0;
}

// Writes the dump text of fd to out; returns a null context when the whole
// input was written. The buffers are static: a small stack limit must not
// stop the program.
failure dump(int fd, hexencode::kernel encode, output::sink& out) {
    alignas(64) static unsigned char in[hexencode::block_size];
    for (;;) {
        const ssize_t got = read_block(fd, in, sizeof in);
        if (got == 0) {
            return {nullptr, 0};
        }
        if (got < 0) {
            return {reading, errno};
        }
        const auto n = static_cast<std::size_t>(got);
        char* const text = output::space(out, 3 * n);
        encode(in, n, text);
        if (const int error = output::put(out, text, 3 * n)) {
            return {writing, error};
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
    failure failed = check_not_input(fd, STDOUT_FILENO);
#ifdef HEXSHOW_KERNEL
    const hexencode::kernel encode = hexencode::named(HEXSHOW_KERNEL).encode;
#else
    const hexencode::kernel encode = hexencode::best().encode;
#endif
    if (failed.context == nullptr) {
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        // The text buffer starts on a page of the smallest size.
        alignas(4096) static char text[3 * hexencode::block_size];
        output::sink out = output::start(STDOUT_FILENO, text, input_size(fd));
        failed = dump(fd, encode, out);
        output::finish(out);
    }
    close(fd);
    if (failed.error == feeds_itself) {
        (void)fprintf(stderr, "%s: input file is output file\n", failed.context);
        return 1;
    }
    if (failed.context != nullptr) {
        errno = failed.error;
        perror(failed.context);
        return 1;
    }
    // Some file systems report a failed write only when the file is closed.
    // A standard output that was never open has lost nothing if nothing was
    // written to it, so EBADF is not a failure here.
    if (close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR) {
        perror(writing);
        return 1;
    }
    return 0;
}
