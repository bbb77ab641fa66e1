// Runs the built hexshow in fresh directories and checks what it prints,
// what it reports and how it exits.
#include "hexencode.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum class Sink { file, dev_null, dev_full, closed, broken_pipe, input };

struct Options {
    std::vector<std::string> args;
    Sink sink = Sink::file;
    bool unprivileged = false;
    bool ignore_sigpipe = false;
};

struct Result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal number
    long max_rss_kib = 0;
};

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
        std::snprintf(item, sizeof item, "%02X ", byte);
        text += item;
    }
    return text;
}

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
        int pipe_fds[2] = {-1, -1};
        if (options.sink == Sink::broken_pipe && pipe(pipe_fds) != 0) {
            ADD_FAILURE() << "pipe failed";
            return {};
        }
        if (pipe_fds[0] >= 0) {
            close(pipe_fds[0]);
        }
        const pid_t pid = fork();
        if (pid == 0) {
            child(options, out_path, err_path, pipe_fds[1]);
        }
        if (pipe_fds[1] >= 0) {
            close(pipe_fds[1]);
        }
        Result result;
        int status = 0;
        rusage usage{};
        EXPECT_EQ(wait4(pid, &status, 0, &usage), pid);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.max_rss_kib = usage.ru_maxrss;
        if (options.sink == Sink::file) {
            result.out = slurp(out_path);
        }
        result.err = slurp(err_path);
        return result;
    }

    fs::path root_;
    fs::path dir_;
    fs::path program_;

  private:
    [[noreturn]] void child(const Options& options, const fs::path& out_path,
                            const fs::path& err_path, int pipe_write) {
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int out = -1;
        switch (options.sink) {
        case Sink::file:
            out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            break;
        case Sink::dev_null:
            out = open("/dev/null", O_WRONLY);
            break;
        case Sink::dev_full:
            out = open("/dev/full", O_WRONLY);
            break;
        case Sink::broken_pipe:
            out = pipe_write;
            break;
        case Sink::input:
            out = open((dir_ / "numbers.bin").c_str(), O_WRONLY | O_APPEND);
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
        const int program = open(program_.c_str(), O_RDONLY | O_CLOEXEC);
        if (program < 0) {
            cannot_start("program");
        }
        if (out >= 0 ? dup2(out, STDOUT_FILENO) < 0 : close(STDOUT_FILENO) != 0) {
            cannot_start("standard output");
        }
        if (options.ignore_sigpipe) {
            signal(SIGPIPE, SIG_IGN);
        }
        if (options.unprivileged && geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            cannot_start("unprivileged user");
        }
        std::vector<char*> argv{const_cast<char*>("hexshow")};
        for (const std::string& arg : options.args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        fexecve(program, argv.data(), environ);
        cannot_start("exec");
    }

    // Says on the child's standard error why it could not run the program.
    [[noreturn]] static void cannot_start(const char* step) {
        dprintf(STDERR_FILENO, "test harness: %s: %s\n", step, std::strerror(errno));
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
    constexpr std::size_t block = hexencode::block_size;
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
    const Options args{{"-x", "other.bin", "--help"}};
    const Options full{{}, Sink::dev_full};
    const Options closed{{}, Sink::closed};
    const Options broken{{}, Sink::broken_pipe};
    const Options broken_ignored{{}, Sink::broken_pipe, false, true};
    const Options input{{}, Sink::input};
    // clang-format off
    const std::vector<Case> cases = {
        {"arguments are ignored", small, args, 0, "41 42 ", ""},
        {"a directory", directory, {}, 1, "", "Error reading file: Is a directory\n"},
        {"an unreadable device", device, {}, 1, "", "Error reading file: Input/output error\n"},
        {"a full disk", small, full, 1, "", "Error writing output: No space left on device\n"},
        {"a closed output", small, closed, 1, "", "Error writing output: Bad file descriptor\n"},
        {"a closed output, nothing to write", empty, closed, 0, "", ""},
        {"a pipe without reader", small, broken_ignored, 1, "", "Error writing output: Broken pipe\n"},
        {"a pipe without reader, default SIGPIPE", small, broken, 128 + SIGPIPE, "", ""},
        {"output appended to the input", small, input, 1, "", "Error writing output: input file is output file\n"},
        {"output to the input, truncated", empty, input, 0, "", ""},
    };
    // clang-format on
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

TEST_F(Workspace, MemoryDoesNotGrowWithTheFile) {
#ifdef HEXSHOW_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes distort the resident size";
#endif
    spit(dir_ / "numbers.bin", random_bytes(1024, 1));
    const Result small = run({{}, Sink::dev_null});
    fs::resize_file(dir_ / "numbers.bin", 64 << 20);
    const Result large = run({{}, Sink::dev_null});
    ASSERT_EQ(small.status, 0);
    ASSERT_EQ(large.status, 0);
    EXPECT_LE(large.max_rss_kib, small.max_rss_kib + 1024)
        << "1 KiB: " << small.max_rss_kib << " KiB, 64 MiB: " << large.max_rss_kib << " KiB";
}

} // namespace
