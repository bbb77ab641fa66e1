// The paths by which the dump text reaches standard output, chosen once at
// start by what standard output is: splicing fresh pages into a pipe,
// writing with space reserved ahead into a regular file, or plain writing.
// A path that stops serving steps aside to plain writing. Every path reports
// its first failure as an error number; a call that makes no progress is a
// failure (ENOSPC), never retried.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace output {

enum class path { write, reserve, splice };

// What the choice is made from: the descriptor's status flags and file type
// (st_mode & S_IFMT), -1 and 0 when they cannot be had, and the size of the
// input, 0 when it is not known.
struct destination {
    int flags = -1;
    unsigned type = 0;
    off_t input_size = 0;
};

// The path a destination takes by its kind and the input's size: only a
// descriptor open for writing is spliced into or reserved in (vmsplice on a
// read-only pipe would take the data out of it).
path preferred(const destination& to);
// The size of the regions to splice from, for the given huge page size: whole
// huge pages holding the text of at least sixteen blocks; 0 when there is no
// huge page size, or none small enough.
std::size_t region_size(std::size_t huge_page);
// Whether the memory that the control groups leave (host::memory_room) is
// well above what splicing from regions of that size holds at its peak.
bool room_to_splice(long long room, std::size_t region);

// The fresh memory the text is encoded into, and how much of it is used.
struct splice_state {
    char* region = nullptr;
    std::size_t size = 0;
    std::size_t used = 0;
};

// The space reserved in a regular file ahead of the text.
struct reserve_state {
    bool append = false;  // open with O_APPEND: the text goes at the end
    off_t text_left = 0;  // text still to come, by the input's size
    off_t size_limit = 0; // the soft file size limit
    off_t ahead = 0;      // reserved and not yet written
};

// The longest write the destination takes (a socket may refuse longer).
struct write_state {
    std::size_t piece = SIZE_MAX;
};

struct sink {
    int fd;
    char* buffer; // the fixed buffer, for every path but splicing
    std::size_t page = 4096;
    path way = path::write;
    write_state write;
    reserve_state reserve;
    splice_state splice;
};

// The sink for fd, its path chosen for an input of input_size bytes.
sink start(int fd, char* buffer, off_t input_size);
// Where the next n characters of text go.
char* space(sink& out, std::size_t n);
// Writes the n characters at text, which space() gave; returns 0 or an error
// number.
int put(sink& out, const char* text, std::size_t n);
// Leaves the path taken for plain writing, releasing what it held.
void step_aside(sink& out);
// Releases what the sink holds.
void finish(sink& out);

} // namespace output
