// Fails the system calls hexshow makes after opening numbers.bin, one run
// each: every occurrence of a call made up to six times, the first and last
// three of those made once a block, with each error the call can return,
// into a new file, a file appended to, a pipe read to its end, and the
// writes into a non-blocking pipe. The calls are learnt from a clean run
// under strace, which must close standard output. Every run ends either
// with the whole text, status 0 and nothing on standard error, or with
// status 1, the one line "Error reading file: " (a call on the input) or
// "Error writing output: " (on standard output) with the system's text of
// the error injected (a write that makes no progress: "No space left on
// device"), and an exact prefix of the text. EINTR never ends the dump, nor
// EAGAIN on a non-blocking descriptor; a failed read of the input, or write
// or close of the output, ends it and is reported (EAGAIN on a blocking
// descriptor included: its timeout ran out). Space is reserved in a file
// only on ext4, in windows that each start where the text goes and that
// together hold every write and never pass the end of the whole text; a
// complete dump leaves nothing allocated past the end of its file, any other
// at most the longest window of the clean run.
#include "harness.h"

#include <signal.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace harness;

// What the appended file holds before the dump: this many x.
constexpr std::size_t prefix_size = 1000;

// The errors each kind of call is failed with; "retval=0" is a write that
// takes nothing, "signal=SIGKILL" a kill in the middle of one.
const std::map<std::string, std::vector<std::string>>& errors() {
    static const std::map<std::string, std::vector<std::string>> all = {
        {"read", {"EINTR", "EIO", "EINVAL", "EBADF", "EISDIR"}},
        {"write",
         {"EINTR", "EAGAIN", "EIO", "ENOSPC", "EDQUOT", "EFBIG", "EPIPE", "EBADF", "EINVAL",
          "EMSGSIZE", "retval=0", "signal=SIGKILL"}},
        {"close", {"EINTR", "EIO", "EBADF", "ENOSPC", "EDQUOT"}},
        {"fstat", {"EBADF", "EIO", "EOVERFLOW", "ENOMEM"}},
        {"fcntl", {"EBADF", "EINVAL"}},
        {"lseek", {"EBADF", "EINVAL", "ESPIPE", "EOVERFLOW"}},
        {"fallocate", {"EINTR", "EIO", "ENOSPC", "EFBIG", "EOPNOTSUPP", "EBADF", "EPERM"}},
        {"fadvise", {"EBADF", "EINVAL", "ESPIPE"}},
        {"fstatfs", {"EIO", "ENOSYS", "EOVERFLOW"}},
        {"rlimit", {"EINVAL", "EPERM"}},
    };
    return all;
}

// The system's text of an error injected; none for a kill.
std::string text_of(const std::string& error) {
    static const std::map<std::string, int> numbers = {
        {"EINTR", EINTR},   {"EIO", EIO},           {"EINVAL", EINVAL},
        {"EBADF", EBADF},   {"EISDIR", EISDIR},     {"EAGAIN", EAGAIN},
        {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT},     {"EFBIG", EFBIG},
        {"EPIPE", EPIPE},   {"EMSGSIZE", EMSGSIZE}, {"ESPIPE", ESPIPE},
        {"ENOMEM", ENOMEM}, {"EPERM", EPERM},       {"EOVERFLOW", EOVERFLOW},
        {"ENOSYS", ENOSYS}, {"retval=0", ENOSPC},   {"EOPNOTSUPP", EOPNOTSUPP},
    };
    const auto number = numbers.find(error);
    return number == numbers.end() ? "" : std::strerror(number->second);
}

// The kinds of the names strace gives these calls on each architecture.
std::string kind_of(const std::string& name) {
    static const std::map<std::string, std::string> kinds = {
        {"newfstatat", "fstat"},  {"fstat64", "fstat"},        {"fstatat64", "fstat"},
        {"statx", "fstat"},       {"fcntl64", "fcntl"},        {"_llseek", "lseek"},
        {"fadvise64", "fadvise"}, {"fadvise64_64", "fadvise"}, {"arm_fadvise64_64", "fadvise"},
        {"prlimit64", "rlimit"},  {"getrlimit", "rlimit"},     {"ugetrlimit", "rlimit"},
        {"fstatfs64", "fstatfs"},
    };
    const auto kind = kinds.find(name);
    return kind == kinds.end() ? name : kind->second;
}

struct Call {
    std::string name;
    std::string kind;
    int occurrence; // counted from the start of the process
    std::string fd; // the first argument
};

struct Destination {
    const char* name;
    Options options;
};

void PrintTo(const Destination& destination, std::ostream* out) {
    *out << destination.name;
}

// A line of strace -f: "PID  name(first, ...) = result".
struct Traced {
    std::string pid;
    std::string name;
    std::string first; // the first argument when it is a number, else empty
    std::string rest;  // after the first argument
    long long result = -1;
};

bool parse(const std::string& line, Traced& call) {
    const std::size_t name = line.find_first_not_of(' ', line.find(' '));
    const std::size_t open = line.find('(', name);
    if (name == std::string::npos || open == std::string::npos || name == open) {
        return false;
    }
    call.pid = line.substr(0, line.find(' '));
    call.name = line.substr(name, open - name);
    const std::size_t digits =
        std::min(line.find_first_not_of("0123456789", open + 1), line.size());
    call.first = line.substr(open + 1, digits - open - 1);
    call.rest = line.substr(digits);
    const std::size_t equals = line.rfind(") = ");
    call.result =
        equals == std::string::npos ? -1 : std::strtoll(line.c_str() + equals + 4, nullptr, 10);
    return std::all_of(call.name.begin(), call.name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    });
}

// The trace with each call that another thread interrupted (an emulator's
// own, under strace -f) on one line again, where it started.
std::vector<std::string> joined(const std::string& trace) {
    static const std::string unfinished = " <unfinished ...>";
    std::vector<std::string> lines;
    std::map<std::string, std::size_t> pending;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        const std::string pid = line.substr(0, line.find(' '));
        const std::size_t resumed = line.find(" resumed>");
        if (line.ends_with(unfinished)) {
            pending[pid] = lines.size();
            lines.push_back(line.substr(0, line.size() - unfinished.size()));
        } else if (line.find("<... ") != std::string::npos && resumed != std::string::npos &&
                   pending.contains(pid)) {
            lines[pending[pid]] += line.substr(resumed + 9);
            pending.erase(pid);
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

class Sweep : public Workspace, public ::testing::WithParamInterface<Destination> {
  protected:
    void SetUp() override {
        Workspace::SetUp();
        // Text of two windows natively, less under an emulator.
        spit(dir_ / "numbers.bin", random_bytes((emulated ? 640 : 5632) * 1024 + 1000, 1));
        whole_ = encoded(slurp(dir_ / "numbers.bin"));
    }

    static bool appended() {
        return GetParam().options.sink == Sink::append;
    }
    static bool nonblocking() {
        return GetParam().options.nonblocking;
    }
    static bool into_file() {
        return GetParam().options.sink != Sink::pipe;
    }

    // Runs hexshow into the destination under strace with these options.
    Result run_traced(const std::vector<std::string>& strace) {
        if (appended()) {
            spit(root_ / "stdout", std::string(prefix_size, 'x'));
        }
        Options options = GetParam().options;
        options.strace = {"-f"};
        options.strace.insert(options.strace.end(), strace.begin(), strace.end());
        Result r = run(options);
        if (appended()) {
            r.out = r.out.compare(0, prefix_size, std::string(prefix_size, 'x')) == 0
                        ? r.out.substr(prefix_size)
                        : "the prefix damaged";
        }
        return r;
    }

    void learn();
    void check_windows(const std::vector<std::string>& trace);
    void judge(const Call& call, const std::string& error, const Result& r) const;

    std::string whole_;
    std::vector<Call> calls_;
    std::string input_fd_;
    off_t longest_window_ = 0;
};

// The calls made after opening numbers.bin, in order, from a clean run.
void Sweep::learn() {
    const std::string log = (root_ / "learnt.log").string();
    const Result r = run_traced({"-o", log});
    ASSERT_EQ(r.status, 0) << "the clean run failed: " << r.err;
    const std::vector<std::string> trace = joined(slurp(log));
    std::map<std::string, int> seen;
    std::map<std::string, std::vector<Call>> by_name;
    std::string main;
    bool opened = false;
    Traced call;
    for (const std::string& line : trace) {
        if (!parse(line, call)) {
            continue;
        }
        main = main.empty() ? call.pid : main;
        if (call.pid != main) {
            continue;
        }
        const std::string& name = call.name;
        const int occurrence = ++seen[name];
        if (opened && errors().contains(kind_of(name))) {
            by_name[name].push_back({name, kind_of(name), occurrence, call.first});
        }
        opened = opened || ((name == "open" || name == "openat") &&
                            call.rest.find("\"numbers.bin\"") != std::string::npos);
    }
    // Of the calls made more than six times, the first and last three.
    for (const auto& [name, made] : by_name) {
        for (std::size_t i = 0; i < made.size(); ++i) {
            if (made.size() <= 6 || i < 3 || i >= made.size() - 3) {
                calls_.push_back(made[i]);
            }
        }
    }
    const auto has = [&](const std::string& kind, const std::string& fd) {
        return std::find_if(calls_.begin(), calls_.end(), [&](const Call& c) {
            return c.kind == kind && (fd.empty() || c.fd == fd);
        });
    };
    EXPECT_NE(has("close", "1"), calls_.end()) << "standard output is never closed";
    ASSERT_NE(has("read", ""), calls_.end()) << "no read";
    input_fd_ = has("read", "")->fd;
    if (into_file()) {
        check_windows(trace);
    }
}

// Each window starts where the text goes, every write lands in reserved
// space, and none passes the end of the whole text; there are some on ext4,
// none elsewhere.
void Sweep::check_windows(const std::vector<std::string>& trace) {
    static const std::string keep_size = ", FALLOC_FL_KEEP_SIZE, ";
    const off_t start = appended() ? static_cast<off_t>(prefix_size) : 0;
    const off_t end_of_text = start + static_cast<off_t>(whole_.size());
    off_t at = start;
    off_t end = start;
    int windows = 0;
    Traced call;
    for (const std::string& line : trace) {
        if (!parse(line, call) || call.first != "1" || call.result < 0) {
            continue;
        }
        if (call.name == "write") {
            at += call.result;
            EXPECT_FALSE(windows > 0 && at > end) << "a write to " << at << " past " << end;
        } else if (call.name == "fallocate" && call.rest.starts_with(keep_size)) {
            char* next = nullptr;
            const off_t offset = std::strtoll(call.rest.c_str() + keep_size.size(), &next, 10);
            const off_t length = std::strtoll(next + 2, nullptr, 10);
            ++windows;
            longest_window_ = std::max(longest_window_, length);
            end = offset + length;
            EXPECT_TRUE(offset == at && end <= end_of_text)
                << "window " << offset << "+" << length << " with the text at " << at;
        }
    }
    struct statfs fs {};
    ASSERT_EQ(statfs(root_.c_str(), &fs), 0);
    EXPECT_EQ(windows > 0, fs.f_type == 0xEF53) << windows << " windows, file system " << fs.f_type;
}

void Sweep::judge(const Call& call, const std::string& error, const Result& r) const {
    const std::string context = call.fd == input_fd_ ? "reading file" : "writing output";
    const std::string report = "Error " + context + ": " + text_of(error) + "\n";
    if (r.status == 0) {
        EXPECT_TRUE(r.out == whole_ && r.err.empty()) << "status 0 without the whole text";
    } else if (r.status == 1) {
        EXPECT_EQ(r.err, report);
    } else {
        EXPECT_TRUE(error == "signal=SIGKILL" && r.status == 128 + SIGKILL)
            << "status " << r.status;
    }
    EXPECT_EQ(whole_.compare(0, r.out.size(), r.out), 0) << "not a prefix of the text";
    const bool retried = error == "EINTR" || (error == "EAGAIN" && nonblocking());
    EXPECT_FALSE(retried && r.status != 0) << error << " ended the dump";
    // EMSGSIZE asks for shorter writes; EBADF from the close of standard
    // output says that it was never open.
    const bool moves_text = (call.kind == "read" && call.fd == input_fd_) ||
                            ((call.kind == "write" || call.kind == "close") && call.fd == "1");
    const bool waits = retried || error == "EMSGSIZE" || error == "EBADF";
    EXPECT_FALSE(moves_text && r.status == 0 && !waits) << "the failure went unreported";
    if (into_file()) {
        const off_t size = static_cast<off_t>(r.out.size() + (appended() ? prefix_size : 0));
        const off_t left = r.status == 0 ? 0 : longest_window_;
        EXPECT_LE(r.allocated, (size + left + 4095) / 4096 * 4096) << "allocated to " << size;
    }
}

TEST_P(Sweep, EveryFailedCallIsReportedOrRetried) {
    ASSERT_NO_FATAL_FAILURE(learn());
    for (const Call& call : calls_) {
        // Into the non-blocking pipe, only the writes are failed, with
        // EAGAIN: how many there are depends on how fast the pipe is read.
        if (nonblocking() && call.kind != "write") {
            continue;
        }
        for (const std::string& error :
             nonblocking() ? std::vector<std::string>{"EAGAIN"} : errors().at(call.kind)) {
            const std::string what =
                error.find('=') == std::string::npos ? "error=" + error : error;
            const std::string injection =
                "inject=" + call.name + ":" + what + ":when=" + std::to_string(call.occurrence);
            SCOPED_TRACE(call.name + " #" + std::to_string(call.occurrence) + ", " + error);
            judge(call, error, run_traced({"-o", "/dev/null", "-e", injection}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Into, Sweep,
    ::testing::Values(Destination{"new_file", {.sink = Sink::file}},
                      Destination{"appended_file", {.sink = Sink::append}},
                      Destination{"pipe", {.sink = Sink::pipe, .reader = read_all}},
                      Destination{"nonblocking_pipe",
                                  {.sink = Sink::pipe, .reader = read_all, .nonblocking = true}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
