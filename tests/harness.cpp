#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace harness {

namespace {

// What starts a program built for another architecture (an emulator, or the
// target's own dynamic loader), as words; none for a native build.
#ifdef HEXSHOW_RUNNER
constexpr bool runner = true;
constexpr const char* emulator_line = HEXSHOW_RUNNER;
#else
constexpr bool runner = false;
constexpr const char* emulator_line = "";
#endif

std::vector<std::string> emulator() {
    std::istringstream line(emulator_line);
    std::vector<std::string> words;
    for (std::string word; line >> word;) {
        words.push_back(word);
    }
    return words;
}

// Says on the child's standard error why it could not run the program.
[[noreturn]] void cannot_start(const char* step) {
    (void)dprintf(STDERR_FILENO, "test harness: %s: %s\n", step, std::strerror(errno));
    _exit(127);
}

// Stops the child with the reason when a step of its set-up failed.
void need(bool done, const char* step) {
    if (!done) {
        cannot_start(step);
    }
}

} // namespace

#ifdef HEXSHOW_EMULATED
const bool emulated = true;
#else
const bool emulated = false;
#endif

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void spit(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 engine(seed);
    std::string bytes(n, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(engine());
    }
    return bytes;
}

std::string encoded(const std::string& bytes) {
    static const std::string items = [] {
        std::string all;
        char item[4];
        for (int byte = 0; byte < 256; ++byte) {
            (void)std::snprintf(item, sizeof item, "%02X ", byte);
            all += item;
        }
        return all;
    }();
    std::string text;
    text.reserve(3 * bytes.size());
    for (unsigned char byte : bytes) {
        text.append(items, 3 * std::size_t{byte}, 3);
    }
    return text;
}

std::string loop_image(const std::string& mkfs, const std::string& options) {
    // 300 MiB at least for XFS; sparse.
    return "truncate -s 320M \"$1.img\" && " + mkfs + " \"$1.img\" && mount -o loop" + options +
           " \"$1.img\" \"$1\"";
}

std::string read_all(int fd) {
    return read_pieces(fd, {65536});
}

std::string read_pieces(int fd, std::initializer_list<std::size_t> pieces) {
    std::string text;
    static char buf[1 << 20];
    // A terminal says EIO once its other side is closed.
    for (const auto* piece = pieces.begin();;
         piece = ++piece == pieces.end() ? pieces.begin() : piece) {
        const ssize_t got = read(fd, buf, std::min(*piece, sizeof buf));
        if (got == 0 || (got < 0 && errno == EIO)) {
            return text;
        }
        if (got < 0 && errno != EINTR) {
            ADD_FAILURE() << "read: " << std::strerror(errno);
            return text;
        }
        text.append(buf, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
}

void Workspace::SetUp() {
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
    fs::permissions(program_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
}

void Workspace::TearDown() {
    for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount) {
        while (umount2(mount->c_str(), MNT_DETACH) == 0) {
        }
    }
    fs::remove_all(root_);
}

fs::path Workspace::mounted(const std::string& name, const std::string& make) {
    static const bool own_namespace =
        geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    fs::path point = root_ / name;
    fs::create_directory(point);
    const std::string command = "cd \"$0\" && { " + make + "; } >/dev/null 2>&1";
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), root_.c_str(), name.c_str(), nullptr);
        _exit(127);
    }
    int status = -1;
    if (!own_namespace || pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) {
        return {};
    }
    mounts_.push_back(point);
    return point;
}

namespace {

// The pipe for a piped sink, of the size asked for.
bool make_pipe(const Options& options, int ends[2]) {
    return pipe2(ends, O_CLOEXEC) == 0 &&
           (options.pipe_size == 0 || fcntl(ends[1], F_SETPIPE_SZ, options.pipe_size) >= 0);
}

// A pseudo-terminal for a terminal sink, as a program sees the plain text
// it was sent: nothing echoed, no output processing. Nothing for other sinks.
bool make_terminal(const Options& options, int ends[2]) {
    if (options.sink != Sink::terminal) {
        return true;
    }
    termios mode{};
    ends[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    // The other side by the master itself: an emulator with pages of its
    // own may not pass the number of the terminal back (ptsname).
    if (ends[0] < 0 || unlockpt(ends[0]) != 0 ||
        (ends[1] = ioctl(ends[0], TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0 ||
        tcgetattr(ends[1], &mode) != 0) {
        return false;
    }
    mode.c_lflag &= ~tcflag_t{ECHO};
    mode.c_oflag &= ~tcflag_t{OPOST};
    return tcsetattr(ends[1], TCSANOW, &mode) == 0;
}

// The socket pair for a socket sink; nothing for other sinks.
bool make_socket(const Options& options, int ends[2]) {
    const int type = options.sink == Sink::seqpacket ? SOCK_SEQPACKET
                     : options.sink == Sink::stream  ? SOCK_STREAM
                                                     : 0;
    return type == 0 || socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends) == 0;
}

// The two ends of the sink, the reader's first, holding what is to be read
// first; -1 for an end that there is not.
bool make_ends(const Options& options, bool piped, int ends[2]) {
    const int typed = options.sink == Sink::terminal ? 0 : 1;
    return (!piped || make_pipe(options, ends)) && make_socket(options, ends) &&
           make_terminal(options, ends) &&
           (options.sink != Sink::memfd ||
            (ends[0] = memfd_create("out", MFD_CLOEXEC | options.memfd_flags)) >= 0) &&
           (options.waiting.empty() ||
            write(ends[typed], options.waiting.data(), options.waiting.size()) >= 0);
}

} // namespace

Result Workspace::run(const Options& options) {
    int ends[2] = {-1, -1};
    const bool piped = options.sink == Sink::broken_pipe || options.sink == Sink::pipe ||
                       options.sink == Sink::read_end;
    if (!make_ends(options, piped, ends)) {
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
        child(options, ends[read_end ? 0 : 1]);
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
    struct stat file {};
    if (options.sink == Sink::file || options.sink == Sink::append) {
        // What is allocated once written back: before, a file system may
        // count blocks it is about to free.
        const fs::path out = output_file(options);
        const int written = open(out.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_TRUE(written >= 0 && fsync(written) == 0 && close(written) == 0) << out;
        result.out = slurp(out);
        result.allocated = stat(out.c_str(), &file) == 0 ? file.st_blocks * 512 : -1;
    } else if (options.sink == Sink::memfd) {
        result.allocated = fstat(ends[0], &file) == 0 ? file.st_blocks * 512 : -1;
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
    result.err = slurp(root_ / "stderr");
    return result;
}

fs::path Workspace::output_file(const Options& options) const {
    return (options.out_dir.empty() ? root_ : options.out_dir) / "stdout";
}

void Workspace::child(const Options& options, int given) {
    const auto open_as = [](const fs::path& path, int flags) {
        return open(path.c_str(), flags | O_CLOEXEC, 0600);
    };
    const int err = open_as(root_ / "stderr", O_WRONLY | O_CREAT | O_TRUNC);
    int out = given;
    switch (options.sink) {
    case Sink::file:
        out = open_as(output_file(options), O_WRONLY | O_CREAT | O_TRUNC);
        break;
    case Sink::append:
        out = open_as(output_file(options), O_WRONLY | O_CREAT | O_APPEND);
        break;
    case Sink::dev_null:
        out = open_as("/dev/null", O_WRONLY);
        break;
    case Sink::dev_full:
        out = open_as("/dev/full", O_WRONLY);
        break;
    case Sink::input:
        out = open_as(dir_ / options.output_name, O_WRONLY | O_APPEND);
        break;
    default:
        break;
    }
    need(err >= 0 && dup2(err, STDERR_FILENO) >= 0, "standard error");
    need(chdir(dir_.c_str()) == 0, "working directory");
    // An emulator or loader opens the program through this descriptor, as
    // the unprivileged user may not reach its path.
    const int program = open(program_.c_str(), O_RDONLY | (runner ? 0 : O_CLOEXEC));
    need(program >= 0, "program");
    need(out >= 0 ? dup2(out, STDOUT_FILENO) >= 0 : close(STDOUT_FILENO) == 0, "standard output");
    need(options.position == 0 || lseek(STDOUT_FILENO, options.position, SEEK_SET) >= 0,
         "position");
    need(!options.nonblocking || fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) == 0, "non-blocking");
    const timeval timeout = {0, static_cast<suseconds_t>(options.send_timeout_ms) * 1000};
    need(options.send_timeout_ms == 0 ||
             setsockopt(STDOUT_FILENO, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0,
         "send timeout");
    const rlimit stack = {options.stack_limit, options.stack_limit};
    need(options.stack_limit == 0 || setrlimit(RLIMIT_STACK, &stack) == 0, "stack limit");
    const rlimit file_size = {options.file_size_limit, options.file_size_limit};
    need(options.file_size_limit == 0 || setrlimit(RLIMIT_FSIZE, &file_size) == 0, "size limit");
    need(options.ignored_signal == 0 || signal(options.ignored_signal, SIG_IGN) != SIG_ERR,
         "ignored signal");
    // A program that hangs fails its case instead of the whole suite.
    alarm(120);
    need(!options.unprivileged || geteuid() != 0 ||
             (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0),
         "unprivileged user");
    exec_program(options, program);
}

// Runs the program opened as the descriptor program: directly, under
// strace, or under the emulator of a cross build, which opens it through
// the descriptor.
void Workspace::exec_program(const Options& options, int program) {
    const bool by_descriptor = runner && options.strace.empty();
    const std::string path =
        by_descriptor ? "/proc/self/fd/" + std::to_string(program) : program_.string();
    std::vector<std::string> words = options.strace;
    if (!words.empty()) {
        // strace takes the alarm for itself: timeout ends it and the
        // program together (its whole process group).
        words.insert(words.begin(), {"/usr/bin/timeout", "-s", "KILL", "120", STRACE_PATH});
        // LeakSanitizer, in a sanitized build, cannot run under ptrace.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    }
    for (const std::vector<std::string>& more : {emulator(), {path}, options.args}) {
        words.insert(words.end(), more.begin(), more.end());
    }
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    if (!by_descriptor && options.strace.empty()) {
        fexecve(program, argv.data(), environ);
    } else {
        execv(argv[0], argv.data());
    }
    cannot_start("exec");
}

} // namespace harness
