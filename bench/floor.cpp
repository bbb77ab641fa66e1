// The floor of a dump into each destination: what hexshow does with the
// encoding left out. "write" reads numbers.bin as hexshow does and hands
// three times as many bytes of ready text to standard output by hexshow's own
// paths (fresh pages spliced into a pipe, writes with space reserved into a
// file); "encode" reads and encodes and writes nothing.
#include "hexencode.h"
#include "output.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char** argv) {
    const bool encode_only = argc == 2 && std::strcmp(argv[1], "encode") == 0;
    if (argc != 2 || (!encode_only && std::strcmp(argv[1], "write") != 0)) {
        (void)fputs("usage: hexshow-floor write|encode\n", stderr);
        return 2;
    }
    const int fd = open("numbers.bin", O_RDONLY | O_CLOEXEC);
    struct stat input {};
    if (fd < 0 || fstat(fd, &input) != 0) {
        perror("numbers.bin");
        return 1;
    }
    alignas(64) static unsigned char in[hexencode::block_size];
    alignas(4096) static char buffer[3 * hexencode::block_size];
    static char ready[3 * hexencode::block_size];
    std::memset(ready, 'A', sizeof ready);
    const hexencode::kernel encode = hexencode::best().encode;
    output::sink out = output::start(STDOUT_FILENO, buffer, input.st_size);
    int error = 0;
    for (ssize_t got; error == 0 && (got = read(fd, in, sizeof in)) > 0;) {
        const auto n = static_cast<std::size_t>(got);
        if (encode_only) {
            encode(in, n, buffer);
            continue;
        }
        char* const text = output::space(out, 3 * n);
        std::memcpy(text, ready, 3 * n);
        error = output::put(out, text, 3 * n);
    }
    output::finish(out);
    close(fd);
    if (error != 0) {
        (void)fprintf(stderr, "hexshow-floor: %s\n", std::strerror(error));
        return 1;
    }
    return 0;
}
