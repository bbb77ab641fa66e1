// The floors of a dump: what hexshow does with one part left out. By
// default it reads numbers.bin in hexshow's blocks (retrying nothing, with
// no advice to the kernel) and hands three times as many bytes of ready
// text to standard output by hexshow's own output paths, the encoding left
// out; "encode" reads and encodes, and writes nothing (the floor of a
// destination where writing costs nothing, /dev/null).
#include "hexencode.h"
#include "output.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
    const bool encode_only = argc == 2 && std::strcmp(argv[1], "encode") == 0;
    const int fd = open("numbers.bin", O_RDONLY | O_CLOEXEC);
    struct stat input {};
    struct stat output {};
    if ((argc != 1 && !encode_only) || fd < 0 || fstat(fd, &input) != 0 ||
        fstat(STDOUT_FILENO, &output) != 0) {
        perror("usage: hexshow-floor [encode]");
        return 1;
    }
    alignas(64) static unsigned char in[output::max_block];
    alignas(4096) static char text[3 * output::max_block];
    std::memset(text, 'A', sizeof text);
    const hexencode::kernel encode = hexencode::best().encode;
    output::sink out = output::start(STDOUT_FILENO, &output, 3 * input.st_size);
    int error = 0;
    for (ssize_t got; error == 0 && (got = read(fd, in, out.block)) > 0;) {
        const auto n = static_cast<std::size_t>(got);
        if (encode_only) {
            encode(in, n, text);
        } else {
            error = output::put(out, text, 3 * n);
        }
    }
    close(fd);
    if (error != 0) {
        (void)fprintf(stderr, "hexshow-floor: %s\n", std::strerror(error));
        return 1;
    }
    return 0;
}
