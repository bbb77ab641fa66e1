// How the dump text reaches standard output: by write(2) everywhere, and
// into a regular file with its space reserved a bounded window ahead of the
// text. A call that makes no progress is a failure (ENOSPC), never retried.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace output {

struct sink {
    int fd;
    std::size_t piece = SIZE_MAX; // the longest write taken (a socket may refuse longer)
    bool reserving = false;       // space is reserved ahead of the text
    bool append = false;          // open with O_APPEND: the text goes at the end
    off_t text_left = 0;          // text still to come, by the input's size
    off_t size_limit = 0;         // the soft file size limit
    off_t ahead = 0;              // reserved and not yet written
};

// The sink for fd, whose status is given (null when fd is not open), for a
// text of text_size characters (0 when that is not known).
sink start(int fd, const struct stat* status, off_t text_size);
// Writes all n characters of text; returns 0 or the error number of the
// failed call.
int put(sink& out, const char* text, std::size_t n);

} // namespace output
