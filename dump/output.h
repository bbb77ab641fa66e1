// How the dump text reaches standard output: by write(2) everywhere, in
// blocks whose text a pipe holds with room to spare, and into a regular file
// with its space reserved a bounded window ahead of the text. A call that
// makes no progress is a failure (ENOSPC), never retried.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace output {

// The most input bytes read and encoded at once.
inline constexpr std::size_t max_block = std::size_t{128} * 1024;

struct sink {
    int fd;
    std::size_t block = max_block; // input bytes read and encoded at once
    std::size_t piece = SIZE_MAX;  // the longest write taken (a socket may refuse longer)
    bool append = false;           // open with O_APPEND: the text goes at the end
    off_t text_left = 0;           // text still to come that space may be reserved for; 0: none
    off_t size_limit = 0;          // the soft file size limit
    off_t ahead = 0;               // reserved and not yet written
    int refusals = 0;              // EAGAIN in a row since the last write that took text
};

// The sink for fd, whose status is given (null when it is not known: fd is
// not open, or it is the input), for a text of text_size characters (0 when
// that is not known). It reads the state of fd and changes nothing.
sink start(int fd, const struct stat* status, off_t text_size);
// Writes all n characters of text; returns 0 or the error number of the
// failed call.
int put(sink& out, const char* text, std::size_t n);

} // namespace output
