// Runs the built hexshow in fresh directories and checks what it prints,
// what it reports and how it exits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum class Sink {
    file,
    append, // the same file, opened with O_APPEND and not truncated
    memfd,  // a file in memory (tmpfs)
    dev_null,
    dev_full,
    closed,
    broken_pipe,
    input,
    pipe,
    read_end, // the read end of a pipe, holding Options::in_pipe
    seqpacket
};

// Takes the dump from the read end of a pipe or socket and returns it.
using Reader = std::function<std::string(int fd)>;

struct Options {
    std::vector<std::string> args = {};
    Sink sink = Sink::file;
    bool unprivileged = false;
    int ignored_signal = 0;               // set to SIG_IGN for the program
    Reader reader = {};                   // for Sink::pipe and Sink::seqpacket
    bool nonblocking = false;             // the program's end of the pipe
    rlim_t stack_limit = 0;               // bytes; 0 leaves the limit alone
    rlim_t file_size_limit = 0;           // bytes; 0 leaves the limit alone
    std::string in_pipe = {};             // for Sink::read_end
    std::vector<std::string> strace = {}; // run under strace with these options
    off_t position = 0;                   // of standard output, for Sink::memfd
};

struct Result {
    std::string out; // for Sink::read_end, what is left in the pipe
    std::string err;
    int status = -1; // exit status, or 128 + signal number
    long max_rss_kib = 0;
    int pipe_size_before = 0; // the capacity of a pipe output
    int pipe_size_after = 0;
};

// What starts a program built for another architecture (an emulator, or the
// target's own dynamic loader), as words; none for a native build.
#ifdef HEXSHOW_RUNNER
constexpr bool runner = true;
constexpr const char* emulator_line = HEXSHOW_RUNNER;
#else
constexpr bool runner = false;
constexpr const char* emulator_line = "";
#endif
// Whether that is an emulator, which has a memory and a kernel interface of
// its own.
#ifdef HEXSHOW_EMULATED
constexpr bool emulated = true;
#else
constexpr bool emulated = false;
#endif

std::vector<std::string> emulator() {
    std::istringstream line(emulator_line);
    std::vector<std::string> words;
    for (std::string word; line >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void spit(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string reference(const std::string& bytes) {
    std::string text;
    char item[4];
    for (unsigned char byte : bytes) {
        (void)std::snprintf(item, sizeof item, "%02X ", byte);
        text += item;
    }
    return text;
}

std::string read_all(int fd);

class Workspace : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "hexshow-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern << ": " << std::strerror(errno);
        root_ = pattern;
        dir_ = root_ / "cwd";
        fs::create_directory(dir_);
        // The working directory and a copy of the program must serve the
        // unprivileged user that some cases run as, whose own path to them
        // may be closed (a private TMPDIR or checkout): the child enters the
        // directory and opens the copy before it drops its privileges.
        program_ = root_ / "hexshow";
        fs::copy_file(HEXSHOW_PATH, program_);
        fs::permissions(program_, fs::perms::owner_all | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read |
                                      fs::perms::others_exec);
        fs::permissions(dir_,
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }

    void TearDown() override {
        fs::remove_all(root_);
    }

    // Runs hexshow with dir_ as its working directory.
    Result run(const Options& options = {}) {
        const fs::path out_path = root_ / "stdout";
        const fs::path err_path = root_ / "stderr";
        int ends[2] = {-1, -1};
        const bool piped = options.sink == Sink::broken_pipe || options.sink == Sink::pipe ||
                           options.sink == Sink::read_end;
        if ((piped && pipe2(ends, O_CLOEXEC) != 0) ||
            (options.sink == Sink::seqpacket &&
             socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) ||
            (options.sink == Sink::memfd && (ends[0] = memfd_create("out", MFD_CLOEXEC)) < 0) ||
            (!options.in_pipe.empty() &&
             write(ends[1], options.in_pipe.data(), options.in_pipe.size()) < 0)) {
            ADD_FAILURE() << "pipe, socket or file: " << std::strerror(errno);
            return {};
        }
        if (options.sink == Sink::broken_pipe) {
            close(ends[0]);
            ends[0] = -1;
        }
        Result result;
        result.pipe_size_before = piped ? fcntl(ends[1], F_GETPIPE_SZ) : 0;
        const pid_t pid = fork();
        if (pid == 0) {
            const bool read_end = options.sink == Sink::read_end || options.sink == Sink::memfd;
            child(options, out_path, err_path, ends[read_end ? 0 : 1]);
        }
        if (ends[1] >= 0) {
            close(ends[1]);
        }
        if (options.reader) {
            result.out = options.reader(ends[0]);
            result.pipe_size_after = piped ? fcntl(ends[0], F_GETPIPE_SZ) : 0;
            close(ends[0]);
            ends[0] = -1;
        }
        int status = 0;
        rusage usage{};
        EXPECT_EQ(wait4(pid, &status, 0, &usage), pid);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.max_rss_kib = usage.ru_maxrss;
        if (options.sink == Sink::file || options.sink == Sink::append) {
            result.out = slurp(out_path);
        } else if (options.sink == Sink::memfd) {
            char buf[65536];
            for (ssize_t got;
                 (got = pread(ends[0], buf, sizeof buf,
                              options.position + static_cast<off_t>(result.out.size()))) > 0;) {
                result.out.append(buf, static_cast<std::size_t>(got));
            }
        } else if (options.sink == Sink::read_end) {
            result.out = read_all(ends[0]);
        }
        if (ends[0] >= 0) {
            close(ends[0]);
        }
        result.err = slurp(err_path);
        return result;
    }

    fs::path root_;
    fs::path dir_;
    fs::path program_;

  private:
    [[noreturn]] void child(const Options& options, const fs::path& out_path,
                            const fs::path& err_path, int given) {
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int out = -1;
        switch (options.sink) {
        case Sink::file:
            out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            break;
        case Sink::append:
            out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            break;
        case Sink::dev_null:
            out = open("/dev/null", O_WRONLY | O_CLOEXEC);
            break;
        case Sink::dev_full:
            out = open("/dev/full", O_WRONLY | O_CLOEXEC);
            break;
        case Sink::memfd:
        case Sink::broken_pipe:
        case Sink::pipe:
        case Sink::read_end:
        case Sink::seqpacket:
            out = given;
            break;
        case Sink::input:
            out = open((dir_ / "numbers.bin").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            break;
        case Sink::closed:
            break;
        }
        if (err < 0 || dup2(err, STDERR_FILENO) < 0) {
            cannot_start("standard error");
        }
        if (chdir(dir_.c_str()) != 0) {
            cannot_start("working directory");
        }
        // An emulator or loader opens the program through this descriptor,
        // as the unprivileged user may not reach its path.
        const int program = open(program_.c_str(), O_RDONLY | (runner ? 0 : O_CLOEXEC));
        if (program < 0) {
            cannot_start("program");
        }
        if (out >= 0 ? dup2(out, STDOUT_FILENO) < 0 : close(STDOUT_FILENO) != 0) {
            cannot_start("standard output");
        }
        if (options.position != 0 && lseek(STDOUT_FILENO, options.position, SEEK_SET) < 0) {
            cannot_start("position");
        }
        if (options.nonblocking && fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) != 0) {
            cannot_start("non-blocking output");
        }
        const rlimit stack = {options.stack_limit, options.stack_limit};
        if (options.stack_limit != 0 && setrlimit(RLIMIT_STACK, &stack) != 0) {
            cannot_start("stack limit");
        }
        const rlimit file_size = {options.file_size_limit, options.file_size_limit};
        if (options.file_size_limit != 0 && setrlimit(RLIMIT_FSIZE, &file_size) != 0) {
            cannot_start("file size limit");
        }
        if (options.ignored_signal != 0 && signal(options.ignored_signal, SIG_IGN) == SIG_ERR) {
            cannot_start("ignored signal");
        }
        // A program that hangs fails its case instead of the whole suite.
        alarm(120);
        if (options.unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            cannot_start("unprivileged user");
        }
        exec_program(options, program);
    }

    // Runs the program opened as the descriptor program: directly, under
    // strace, or under the emulator of a cross build, which opens it through
    // the descriptor.
    [[noreturn]] void exec_program(const Options& options, int program) {
        const std::vector<std::string> emulation = emulator();
        const bool by_descriptor = runner && options.strace.empty();
        const std::string path =
            by_descriptor ? "/proc/self/fd/" + std::to_string(program) : program_.string();
        std::vector<char*> argv;
        if (!options.strace.empty()) {
            argv.push_back(const_cast<char*>(STRACE_PATH));
            for (const std::string& arg : options.strace) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
        }
        for (const std::string& word : emulation) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const std::string& arg : options.args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (by_descriptor) {
            execv(argv[0], argv.data());
        } else if (options.strace.empty()) {
            fexecve(program, argv.data(), environ);
        } else {
            // LeakSanitizer, in a sanitized build, cannot run under ptrace.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            execv(STRACE_PATH, argv.data());
        }
        cannot_start("exec");
    }

    // Says on the child's standard error why it could not run the program.
    [[noreturn]] static void cannot_start(const char* step) {
        (void)dprintf(STDERR_FILENO, "test harness: %s: %s\n", step, std::strerror(errno));
        _exit(127);
    }
};

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 engine(seed);
    std::string bytes(n, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(engine());
    }
    return bytes;
}

TEST_F(Workspace, DumpsEveryByteInOrder) {
    struct Case {
        std::string name;
        std::string bytes;
    };
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<char>(i);
    }
    std::vector<Case> cases = {
        {"empty", ""},
        {"00 0A FF", std::string("\x00\x0a\xff", 3)},
        {"newline, return, end-of-file", "\x0a\x0d\x1a"},
        {"all byte values", all},
    };
    constexpr std::size_t block = 128 << 10; // what the program reads at once
    for (std::size_t n = 0; n <= 200; ++n) {
        cases.push_back({"random " + std::to_string(n), random_bytes(n, n)});
    }
    for (std::size_t n : {block - 1, block, block + 1, 2 * block + 7}) {
        cases.push_back({"random " + std::to_string(n), random_bytes(n, n)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        spit(dir_ / "numbers.bin", c.bytes);
        const Result r = run();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        ASSERT_EQ(r.out.size(), 3 * c.bytes.size());
        EXPECT_TRUE(r.out == reference(c.bytes));
    }
    EXPECT_EQ(reference(std::string("\x00\x0a\xff", 3)), "00 0A FF ");
}

TEST_F(Workspace, ReportsAFileThatCannotBeOpened) {
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> setup;
        bool unprivileged;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"missing", [](const fs::path&) {}, false,
         "Error opening file: No such file or directory\n"},
        {"name differs in case",
         [](const fs::path& dir) {
             spit(dir / "Numbers.bin", "x");
             spit(dir / "NUMBERS.BIN", "x");
         },
         false, "Error opening file: No such file or directory\n"},
        {"no read permission",
         [](const fs::path& dir) {
             spit(dir / "numbers.bin", "x");
             fs::permissions(dir / "numbers.bin", fs::perms::owner_write);
         },
         true, "Error opening file: Permission denied\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
        c.setup(dir_);
        Options options;
        options.unprivileged = c.unprivileged;
        const Result r = run(options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Workspace, ReportsReadAndWriteFailures) {
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> setup;
        Options options;
        int status;
        std::string out;
        std::string err;
    };
    const auto small = [](const fs::path& dir) { spit(dir / "numbers.bin", "AB"); };
    const auto empty = [](const fs::path& dir) { spit(dir / "numbers.bin", ""); };
    const auto directory = [](const fs::path& dir) { fs::create_directory(dir / "numbers.bin"); };
    const auto device = [](const fs::path& dir) {
        fs::create_symlink("/proc/self/mem", dir / "numbers.bin");
    };
    // Several blocks, more than a pipe holds.
    const auto large = [](const fs::path& dir) {
        spit(dir / "numbers.bin", random_bytes(2 << 20, 2));
    };
    const Options args{.args = {"-x", "other.bin", "--help"}};
    const Options full{.sink = Sink::dev_full};
    const Options closed{.sink = Sink::closed};
    const Options broken_ignored{.sink = Sink::broken_pipe, .ignored_signal = SIGPIPE};
    const Options input{.sink = Sink::input};
    // hexshow 1<&0, with standard input a pipe from a producer.
    const std::string produced = random_bytes(4000, 4);
    const Options read_end{.sink = Sink::read_end, .in_pipe = produced};
    // clang-format off
    std::vector<Case> cases = {
        {"arguments are ignored", small, args, 0, "41 42 ", ""},
        {"a directory", directory, {}, 1, "", "Error reading file: Is a directory\n"},
        {"an unreadable device", device, {}, 1, "", "Error reading file: Input/output error\n"},
        {"a full disk", small, full, 1, "", "Error writing output: No space left on device\n"},
        {"a closed output", small, closed, 1, "", "Error writing output: Bad file descriptor\n"},
        {"a closed output, nothing to write", empty, closed, 0, "", ""},
        {"a pipe without reader", small, broken_ignored, 1, "", "Error writing output: Broken pipe\n"},
        {"output appended to the input", small, input, 1, "", "Error writing output: input file is output file\n"},
        {"output to the input, truncated", empty, input, 0, "", ""},
        {"the read end of a pipe, left as it was", large, read_end, 1, produced, "Error writing output: Bad file descriptor\n"},
    };
    // clang-format on
    // 32-bit offsets would stop the open of 2 GiB or more ("Value too large
    // for defined data type"), which an emulator on a 64-bit kernel hides.
    if (sizeof(void*) == 4 && !emulated) {
        const auto sparse = [](const fs::path& dir) {
            spit(dir / "numbers.bin", "");
            fs::resize_file(dir / "numbers.bin", std::uintmax_t{3} << 30);
        };
        const auto first_mebibytes = [](int fd) {
            std::string text(4 << 20, '\0');
            for (std::size_t at = 0; at < text.size();) {
                const ssize_t got =
                    read(fd, &text[at], std::min<std::size_t>(65536, text.size() - at));
                at += got > 0 ? static_cast<std::size_t>(got) : text.size();
            }
            return text;
        };
        cases.push_back({"3 GiB of zeros, the first 4 MiB read",
                         sparse,
                         {.sink = Sink::pipe, .reader = first_mebibytes},
                         128 + SIGPIPE,
                         reference(std::string((4 << 20) / 3 + 1, '\0')).substr(0, 4 << 20),
                         ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        c.setup(dir_);
        const Result r = run(c.options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

// The dump text of bytes, as reference() gives it, by table: quick enough
// for mebibytes.
std::string encoded(const std::string& bytes) {
    static const std::string items = [] {
        std::string all;
        for (int i = 0; i < 256; ++i) {
            all += static_cast<char>(i);
        }
        return reference(all);
    }();
    std::string text;
    text.reserve(3 * bytes.size());
    for (unsigned char byte : bytes) {
        text.append(items, 3 * std::size_t{byte}, 3);
    }
    return text;
}

// Readers of the program's pipe, as scripts put them behind it.
std::string read_all(int fd) {
    std::string text;
    char buf[65536];
    for (ssize_t got; (got = read(fd, buf, sizeof buf)) != 0;) {
        if (got < 0 && errno != EINTR) {
            ADD_FAILURE() << "read: " << std::strerror(errno);
            break;
        }
        text.append(buf, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return text;
}

// Reads in odd sizes and pauses now and then, so the pipe fills.
std::string read_odd_slowly(int fd) {
    std::string text;
    char buf[4093];
    const std::size_t sizes[] = {4093, 1, 777, 3000};
    for (std::size_t i = 0;; ++i) {
        const ssize_t got = read(fd, buf, sizes[i % std::size(sizes)]);
        if (got <= 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(got));
        if (i % 256 == 0) {
            usleep(1000);
        }
    }
    return text;
}

// Changes the capacity of the pipe between reads.
std::string read_resizing(int fd) {
    std::string text;
    char buf[65536];
    const int capacities[] = {4096, 1 << 20, 65536, 256 << 10};
    for (std::size_t i = 0;; ++i) {
        fcntl(fd, F_SETPIPE_SZ, capacities[i % std::size(capacities)]);
        const ssize_t got = read(fd, buf, sizeof buf);
        if (got <= 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(got));
    }
    return text;
}

// Moves what arrives into a row of further pipes without copying, and reads
// them only when all are nearly full: the pages stay referenced from there,
// 6 MiB and more of them, while the program goes on.
std::string splice_onward(int fd) {
    constexpr int pipes = 8;
    int later[pipes][2];
    for (auto& ends : later) {
        if (pipe(ends) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return {};
        }
        fcntl(ends[1], F_SETPIPE_SZ, 1 << 20);
    }
    std::string text;
    char buf[65536];
    for (bool open = true; open;) {
        int held[pipes] = {};
        for (int i = 0; i < pipes && open; ++i) {
            const int capacity = fcntl(later[i][1], F_GETPIPE_SZ);
            while (open && held[i] < capacity * 3 / 4) {
                const ssize_t moved = splice(fd, nullptr, later[i][1], nullptr,
                                             static_cast<std::size_t>(capacity - held[i]), 0);
                open = moved > 0;
                held[i] += static_cast<int>(std::max<ssize_t>(moved, 0));
            }
        }
        for (int i = 0; i < pipes; ++i) {
            for (ssize_t got; held[i] > 0 && (got = read(later[i][0], buf, sizeof buf)) > 0;) {
                text.append(buf, static_cast<std::size_t>(got));
                held[i] -= static_cast<int>(got);
            }
        }
    }
    for (auto& ends : later) {
        close(ends[0]);
        close(ends[1]);
    }
    return text;
}

// Duplicates what arrives into a second pipe (tee), sends that on to a file
// in memory, and reads the original: both copies must be the dump.
std::string tee_to_file(int fd) {
    int copy[2];
    const int file = memfd_create("teed", MFD_CLOEXEC);
    if (pipe(copy) != 0 || file < 0) {
        ADD_FAILURE() << "pipe or file: " << std::strerror(errno);
        return {};
    }
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t teed = tee(fd, copy[1], sizeof buf, 0);
        if (teed <= 0) {
            break;
        }
        for (ssize_t left = teed; left > 0;) {
            const ssize_t moved =
                splice(copy[0], nullptr, file, nullptr, static_cast<std::size_t>(left), 0);
            if (moved <= 0) {
                ADD_FAILURE() << "splice: " << std::strerror(errno);
                return text;
            }
            left -= moved;
        }
        EXPECT_EQ(read(fd, buf, static_cast<std::size_t>(teed)), teed);
        text.append(buf, static_cast<std::size_t>(teed));
    }
    std::string copied;
    for (ssize_t got;
         (got = pread(file, buf, sizeof buf, static_cast<off_t>(copied.size()))) > 0;) {
        copied.append(buf, static_cast<std::size_t>(got));
    }
    close(file);
    close(copy[0]);
    close(copy[1]);
    EXPECT_TRUE(copied == text) << "the teed copy differs";
    return text;
}

// Reads whole messages from a socket.
std::string receive_all(int fd) {
    std::string text;
    static char message[1 << 20];
    for (ssize_t got; (got = recv(fd, message, sizeof message, 0)) > 0;) {
        text.append(message, static_cast<std::size_t>(got));
    }
    return text;
}

TEST_F(Workspace, EveryReaderOfAPipeGetsTheWholeDump) {
    // Readers that copy, pause, tee or splice the text onward, or resize the
    // pipe, all get the whole dump.
    constexpr std::size_t mib = 1 << 20;
    const std::vector<std::pair<std::string, Reader>> readers = {
        {"cat", read_all},
        {"odd sizes with pauses", read_odd_slowly},
        {"tee to a file", tee_to_file},
        {"splice onward, read later", splice_onward},
        {"resizing the pipe", read_resizing},
    };
    for (const std::size_t n : {mib - 1, 2 * mib + 1, 5 * mib + 12345}) {
        const std::string bytes = random_bytes(n, static_cast<unsigned>(n));
        spit(dir_ / "numbers.bin", bytes);
        const std::string want = encoded(bytes);
        for (const auto& [reader_name, reader] : readers) {
            SCOPED_TRACE(std::to_string(n).append(" bytes, ").append(reader_name));
            const Result r = run({.sink = Sink::pipe, .reader = reader});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            ASSERT_EQ(r.out.size(), want.size());
            EXPECT_TRUE(r.out == want);
        }
    }
}

// How often text occurs in a log.
long occurrences(const std::string& log, const std::string& text) {
    long count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(Workspace, HandlesEveryKindOfOutput) {
    struct Case {
        std::string name;
        std::size_t bytes;
        Options options;
        int status;
        std::string err;
        long long text;     // characters of the dump that arrive: all, some or a count
        bool waits = false; // the pipe is full at times: the program waits, traced
    };
    constexpr long long all = -1;
    constexpr long long some = -2;
    const long long mib = 1 << 20;
    const auto early_close = [](int fd) {
        char buf[100000];
        const ssize_t got = read(fd, buf, sizeof buf);
        return std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    };
    constexpr long pause_ms = 600;
    const auto slow = [](int fd) {
        usleep(pause_ms * 1000);
        return read_odd_slowly(fd);
    };
    const std::string too_large = "Error writing output: File too large\n";
    const std::string log = (root_ / "strace.log").string();
    const std::vector<std::string> waits = {"-o", log, "-e", "trace=write,poll,ppoll"};
    // clang-format off
    const std::vector<Case> cases = {
        {"a non-blocking pipe", 5 << 20, {.sink = Sink::pipe, .reader = slow, .nonblocking = true, .strace = waits}, 0, "", all, true},
        {"a non-blocking pipe, small input", 300000, {.sink = Sink::pipe, .reader = slow, .nonblocking = true, .strace = waits}, 0, "", all, true},
        {"a tiny input into a pipe", 2, {.sink = Sink::pipe, .reader = read_all}, 0, "", all},
        {"a large input into a pipe", 5 << 20, {.sink = Sink::pipe, .reader = read_all}, 0, "", all},
        {"a reader that leaves, default SIGPIPE", 5 << 20, {.sink = Sink::pipe, .reader = early_close}, 128 + SIGPIPE, "", some},
        {"a reader that leaves, SIGPIPE ignored", 5 << 20, {.sink = Sink::pipe, .ignored_signal = SIGPIPE, .reader = early_close}, 1, "Error writing output: Broken pipe\n", some},
        {"a 256 KiB stack", 1 << 20, {.stack_limit = 256 << 10}, 0, "", all},
        {"a seqpacket socket", 1 << 20, {.sink = Sink::seqpacket, .reader = receive_all}, 0, "", all},
        {"a file size limit", 1 << 20, {.file_size_limit = 1 << 20}, 128 + SIGXFSZ, "", mib},
        {"a file size limit on tmpfs", 1 << 20, {.sink = Sink::memfd, .file_size_limit = 1 << 20}, 128 + SIGXFSZ, "", mib},
        {"a file on tmpfs ending near the largest offset", 1 << 20, {.sink = Sink::memfd, .position = std::numeric_limits<off_t>::max() - (1 << 20)}, 1, "Error writing output: Invalid argument\n", 786432},
        {"a file size limit on tmpfs, SIGXFSZ ignored", 1 << 20, {.sink = Sink::memfd, .ignored_signal = SIGXFSZ, .file_size_limit = 1 << 20}, 1, too_large, mib},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = random_bytes(c.bytes, 7);
        spit(dir_ / "numbers.bin", bytes);
        const std::string want = encoded(bytes);
        const Result r = run(c.options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.text != some) {
            ASSERT_EQ(r.out.size(), c.text == all ? want.size() : c.text);
        }
        EXPECT_TRUE(want.compare(0, r.out.size(), r.out) == 0);
        if (c.options.sink == Sink::pipe) {
            EXPECT_EQ(r.pipe_size_after, r.pipe_size_before) << "the pipe was resized";
        }
        if (c.waits) {
            // write() into a full non-blocking pipe is told to wait, and
            // must, once each time (in poll, or ppoll, which "poll(" matches
            // too).
            const std::string trace = slurp(log);
            const long told = occurrences(trace, "= -1 EAGAIN");
            EXPECT_GT(told, 0) << "the pipe was never full";
            EXPECT_GE(occurrences(trace, "poll("), told) << "tries without waiting";
        }
        fs::remove(log);
    }
}

// Appends numbered records of nine bytes to a file, one write each, from
// another thread until stopped; stop() returns how many.
class Appender {
  public:
    explicit Appender(const fs::path& path)
        : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)), thread_([this] {
              char record[16];
              while (!stop_) {
                  (void)std::snprintf(record, sizeof record, "R%07zu\n", count_);
                  if (write(fd_, record, 9) == 9) {
                      ++count_;
                  }
              }
          }) {}
    Appender(const Appender&) = delete;
    Appender& operator=(const Appender&) = delete;
    ~Appender() {
        stop();
    }

    std::size_t stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
            close(fd_);
        }
        return count_;
    }

  private:
    int fd_;
    std::atomic<bool> stop_ = false;
    std::size_t count_ = 0;
    std::thread thread_;
};

TEST_F(Workspace, OtherWritersOfTheFileLoseNothing) {
    // hexshow >> log while another process appends records to the log, the
    // dump succeeding or stopping early: every record survives whole, no
    // zero byte appears, and the dump text is intact up to where it stopped.
    struct Case {
        std::string name;
        Options options;
        int status;
        std::string err;
        bool whole;
        std::function<void()> meanwhile = [] {};
    };
    const std::string bytes = random_bytes(8 << 20, 8); // the text of several windows
    const std::string want = encoded(bytes);
    const fs::path input = dir_ / "numbers.bin";
    const fs::path log = root_ / "stdout";
    const std::vector<std::string> quiet = {"-o", "/dev/null", "-P", input.string(), "-e"};
    const auto with = [&](const std::string& injection) {
        std::vector<std::string> strace = quiet;
        strace.push_back(injection);
        return strace;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"the whole dump", {.sink = Sink::append}, 0, "", true},
        {"a file size limit", {.sink = Sink::append, .ignored_signal = SIGXFSZ, .file_size_limit = 5 << 20}, 1, "Error writing output: File too large\n", false},
        {"a failed read", {.sink = Sink::append, .strace = with("inject=read:error=EIO:when=20")}, 1, "Error reading file: Input/output error\n", false},
        {"the input shrinking", {.sink = Sink::append, .strace = with("inject=read:delay_enter=300000:when=10")}, 0, "", false,
         [&] { usleep(100000); fs::resize_file(input, 1 << 20); }},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        spit(input, bytes);
        fs::remove(log);
        Appender appender(log);
        std::thread meanwhile(c.meanwhile);
        const Result r = run(c.options);
        meanwhile.join();
        const std::size_t appended = appender.stop();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);

        const std::string out = slurp(log);
        EXPECT_EQ(out.find('\0'), std::string::npos) << "a zero byte in the log";
        std::string text;
        std::size_t records = 0;
        char record[16];
        for (std::size_t i = 0; i < out.size();) {
            if (out[i] != 'R') {
                text += out[i++];
                continue;
            }
            (void)std::snprintf(record, sizeof record, "R%07zu\n", records);
            ASSERT_EQ(out.compare(i, 9, record), 0) << "record " << records << " is damaged";
            ++records;
            i += 9;
        }
        EXPECT_EQ(records, appended) << "records lost";
        EXPECT_GT(appended, 0U);
        EXPECT_EQ(text.size() == want.size(), c.whole);
        EXPECT_TRUE(want.compare(0, text.size(), text) == 0) << "the dump text is damaged";
    }
}

TEST_F(Workspace, MemoryDoesNotGrowWithTheFile) {
#ifdef HEXSHOW_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes distort the resident size";
#endif
    if (emulated) {
        GTEST_SKIP() << "the emulator's resident size is not the program's";
    }
    spit(dir_ / "numbers.bin", random_bytes(1024, 1));
    const Result small = run({.sink = Sink::dev_null});
    fs::resize_file(dir_ / "numbers.bin", 64 << 20);
    const Result large = run({.sink = Sink::dev_null});
    ASSERT_EQ(small.status, 0);
    ASSERT_EQ(large.status, 0);
    EXPECT_LE(large.max_rss_kib, small.max_rss_kib + 1024)
        << "1 KiB: " << small.max_rss_kib << " KiB, 64 MiB: " << large.max_rss_kib << " KiB";
}

} // namespace
