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
            return {"Error reading file", errno};
        }
        const auto n = static_cast<std::size_t>(got);
        char* const text = output::space(out, 3 * n);
        encode(in, n, text);
        if (const int error = output::put(out, text, 3 * n)) {
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
        (void)fputs("Error writing output: input file is output file\n", stderr);
        return 1;
    }
#ifdef HEXSHOW_KERNEL
    const hexencode::kernel encode = hexencode::best(HEXSHOW_KERNEL).encode;
#else
    const hexencode::kernel encode = hexencode::best().encode;
#endif
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    alignas(output::buffer_alignment) static char text[3 * hexencode::block_size];
    output::sink out{STDOUT_FILENO, text};
    output::choose(out, input_size(fd));

    const failure failed = dump(fd, encode, out);
    output::finish(out);
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
