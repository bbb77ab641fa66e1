// Runs the built hexshow in a fresh working directory, with standard output
// of a chosen kind, and gives back what it printed, what it reported and
// how it ended.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace harness {

namespace fs = std::filesystem;

enum class Sink {
    file,
    append, // the same file, opened with O_APPEND and not truncated
    memfd,  // a file in memory (tmpfs)
    dev_null,
    dev_full,
    closed,
    broken_pipe,
    input, // Options::output_name in the working directory, opened for appending
    pipe,
    read_end, // the read end of a pipe, holding Options::waiting
    seqpacket,
    stream,  // a UNIX stream socket
    terminal // a pseudo-terminal, echo and output processing off
};

// Takes the dump from the read end of a pipe or socket and returns it.
using Reader = std::function<std::string(int fd)>;

struct Options {
    std::vector<std::string> args = {};
    Sink sink = Sink::file;
    bool unprivileged = false;
    int ignored_signal = 0;               // set to SIG_IGN for the program
    Reader reader = {};                   // for Sink::pipe and the sockets
    bool nonblocking = false;             // the program's end of the pipe
    rlim_t stack_limit = 0;               // bytes; 0 leaves the limit alone
    rlim_t file_size_limit = 0;           // bytes; 0 leaves the limit alone
    std::string waiting = {};             // what Sink::read_end or Sink::terminal holds to read
    std::vector<std::string> strace = {}; // run under strace with these options
    off_t position = 0;                   // of standard output, for Sink::memfd
    int pipe_size = 0;                    // bytes set with F_SETPIPE_SZ; 0 leaves it alone
    int send_timeout_ms = 0;              // SO_SNDTIMEO of the program's socket
    fs::path out_dir = {};                // where Sink::file or Sink::append is; else the workspace
    std::string output_name = "numbers.bin"; // for Sink::input
    unsigned memfd_flags = 0;                // for Sink::memfd, beside MFD_CLOEXEC
};

struct Result {
    std::string out; // for Sink::read_end, what is left in the pipe
    std::string err;
    int status = -1; // exit status, or 128 + signal number
    long max_rss_kib = 0;
    off_t allocated = 0;      // bytes of storage a file output holds
    int pipe_size_before = 0; // the capacity of a pipe output
    int pipe_size_after = 0;
};

// Whether the program runs under an emulator, which has a memory and a
// kernel interface of its own.
extern const bool emulated;

std::string slurp(const fs::path& path);
void spit(const fs::path& path, const std::string& bytes);
std::string random_bytes(std::size_t n, unsigned seed);
// The dump text of bytes, as printf("%02X ") gives it.
std::string encoded(const std::string& bytes);
// The command for Workspace::mounted that makes a file system with mkfs on
// a fresh loop image and mounts it with the options given.
std::string loop_image(const std::string& mkfs, const std::string& options = "");
// Reads a pipe, socket or terminal to its end, each read asking for the
// next of pieces in turn (a socket of messages gives one at most per read).
std::string read_pieces(int fd, std::initializer_list<std::size_t> pieces);
// The same in pieces of 64 KiB.
std::string read_all(int fd);

class Workspace : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Runs hexshow with dir_ as its working directory.
    Result run(const Options& options = {});
    // Mounts a fresh file system at root_/name, for this test alone (in a
    // mount namespace of its own) and until its end: make is a shell
    // command run in root_ with name as $1. Empty when that cannot be done
    // here (not root, a tool or the kernel's support missing).
    fs::path mounted(const std::string& name, const std::string& make);

    fs::path root_;
    fs::path dir_;
    fs::path program_;
    std::vector<fs::path> mounts_;

  private:
    fs::path output_file(const Options& options) const;
    [[noreturn]] void child(const Options& options, int given);
    [[noreturn]] void exec_program(const Options& options, int program);
};

} // namespace harness
