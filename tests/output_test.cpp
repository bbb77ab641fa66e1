// How the text reaches every kind of standard output: pipes and their
// readers, sockets, files of every kind and their limits, and other writers
// of the same file.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace harness;

TEST_F(Workspace, EveryReaderOfAPipeGetsTheWholeDump) {
    const std::vector<std::pair<std::string, Reader>> readers = {
        {"cat", read_all},
        {"odd sizes",
         [](int fd) {
             return read_pieces(fd, {4093, 1, 777, 65536});
         }},
    };
    for (const std::size_t n : {(1 << 20) - 1, (5 << 20) + 12345}) {
        const std::string bytes = random_bytes(n, static_cast<unsigned>(n));
        spit(dir_ / "numbers.bin", bytes);
        for (const auto& [name, reader] : readers) {
            SCOPED_TRACE(std::to_string(n).append(" bytes, ").append(name));
            const Result r = run({.sink = Sink::pipe, .reader = reader});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(r.out == encoded(bytes));
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

// The longest write to standard output in a trace, in bytes.
std::size_t longest_write(const std::string& log) {
    std::size_t longest = 0;
    std::istringstream trace(log);
    for (std::string line; std::getline(trace, line);) {
        const std::size_t end = line.rfind(") = ");
        const std::size_t start = line.rfind(", ", end);
        if (line.rfind("write(1, ", 0) == 0 && end != std::string::npos) {
            longest =
                std::max<std::size_t>(longest, std::stoul(line.substr(start + 2, end - start - 2)));
        }
    }
    return longest;
}

TEST_F(Workspace, HandlesEveryKindOfOutput) {
    struct Case {
        std::string name;
        std::size_t bytes;
        Options options;
        int status;
        std::string err;
        std::optional<std::size_t> text;     // characters that arrive; else any prefix
        bool waits = false;                  // the pipe is full at first: the program waits, traced
        bool file_blocks = false;            // traced writes into the pipe as long as into a file
        std::optional<bool> reserves = {};   // whether file space is reserved ahead, traced
        std::optional<off_t> allocated = {}; // bytes of storage the file holds at the end
    };
    const auto early_close = [](int fd) {
        char buf[100000];
        const ssize_t got = read(fd, buf, sizeof buf);
        return std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    };
    const std::string too_large = "Error writing output: File too large\n";
    const std::string log = (root_ / "strace.log").string();
    const std::vector<std::string> waits = {"-o", log, "-e", "trace=write,poll,ppoll"};
    const std::vector<std::string> writes = {"-o", log, "-e", "trace=write"};
    const std::vector<std::string> reserving = {"-o", log, "-e", "trace=fallocate"};
    // poll says at once that the output takes more, whether it does or not.
    const std::vector<std::string> false_ready = {
        "-o", log, "-e", "trace=write,poll,ppoll", "-e", "inject=poll,ppoll:retval=1"};
    // Waits until the program is gone, reading nothing.
    const auto stalled = [](int fd) {
        pollfd gone = {fd, POLLRDHUP, 0};
        EXPECT_EQ(poll(&gone, 1, -1), 1);
        return std::string();
    };
    // Reads once the program has been told that the pipe is full (its trace
    // shows EAGAIN), or is done.
    const auto when_told = [&log](int fd) {
        pollfd hangup = {fd, 0, 0};
        while (slurp(log).find("EAGAIN") == std::string::npos && poll(&hangup, 1, 1) == 0) {
        }
        return read_all(fd);
    };
    const off_t off_max = std::numeric_limits<off_t>::max();
    const std::string again = "Error writing output: Resource temporarily unavailable\n";
    // clang-format off
    std::vector<Case> cases = {
        {"a non-blocking pipe", 5 << 20, {.sink = Sink::pipe, .reader = when_told, .nonblocking = true, .strace = waits}, 0, "", 15 << 20, true},
        {"a non-blocking pipe, small input", 300000, {.sink = Sink::pipe, .reader = when_told, .nonblocking = true, .strace = waits}, 0, "", 900000, true},
        {"a tiny input into a pipe", 2, {.sink = Sink::pipe, .reader = read_all}, 0, "", 6},
        {"a pipe", 1 << 20, {.sink = Sink::pipe, .reader = read_all, .strace = writes}, 0, "", 3 << 20},
        {"a pipe widened to 1 MiB", 1 << 20, {.sink = Sink::pipe, .reader = read_all, .strace = writes, .pipe_size = 1 << 20}, 0, "", 3 << 20, false, true},
        {"a non-blocking pipe that never takes what poll promises", 1 << 20, {.sink = Sink::pipe, .reader = stalled, .nonblocking = true, .strace = false_ready}, 1, again, {}},
        {"a stream socket whose send timeout runs out", 1 << 20, {.sink = Sink::stream, .reader = stalled, .send_timeout_ms = 100}, 1, again, {}},
        {"a reader that leaves, default SIGPIPE", 5 << 20, {.sink = Sink::pipe, .reader = early_close}, 128 + SIGPIPE, "", {}},
        {"a reader that leaves, SIGPIPE ignored", 5 << 20, {.sink = Sink::pipe, .ignored_signal = SIGPIPE, .reader = early_close}, 1, "Error writing output: Broken pipe\n", {}},
        {"a 256 KiB stack", 1 << 20, {.stack_limit = 256 << 10}, 0, "", 3 << 20},
        {"a seqpacket socket", 1 << 20, {.sink = Sink::seqpacket, .reader = [](int fd) { return read_pieces(fd, {1 << 20}); }}, 0, "", 3 << 20},
        {"a file size limit", 1 << 20, {.file_size_limit = 1 << 20}, 128 + SIGXFSZ, "", 1 << 20},
        {"a file on tmpfs ending near the largest offset", 1 << 20, {.sink = Sink::memfd, .position = off_max - (1 << 20)}, 1, "Error writing output: Invalid argument\n", {}},
        {"a file size limit on tmpfs, SIGXFSZ ignored", 1 << 20, {.sink = Sink::memfd, .ignored_signal = SIGXFSZ, .file_size_limit = 1 << 20}, 1, too_large, 1 << 20},
    };
    // Space is reserved ahead where that pays and costs nothing else: on
    // ext4, and only there; never past the file size limit.
    const std::vector<std::pair<std::string, std::string>> file_systems = {
        {"ext4", loop_image("mkfs.ext4 -q")},
        {"xfs", loop_image("mkfs.xfs -q")},
        {"btrfs, compressed", loop_image("mkfs.btrfs -q", ",compress=zstd")},
        {"an overlay on tmpfs", "mkdir lower && mount -t tmpfs tmpfs \"$1\" && mkdir \"$1/upper\" "
                                "\"$1/work\" && mount -t overlay overlay -o lowerdir=lower,upperdir=\"$1/upper\","
                                "workdir=\"$1/work\" \"$1\""},
    };
    for (std::size_t i = 0; i < file_systems.size(); ++i) {
        const auto& [name, make] = file_systems[i];
        const fs::path dir = mounted("fs" + std::to_string(i), make);
        if (dir.empty()) {
            std::cout << "skipped: the row of " << name << ": it could not be mounted here\n";
            continue;
        }
        cases.push_back({.name = "a new file on " + name, .bytes = 1 << 20, .options = {.strace = reserving, .out_dir = dir}, .status = 0, .err = "", .text = 3 << 20, .reserves = i == 0});
        if (i == 0) {
            cases.push_back({.name = "a file size limit on ext4", .bytes = 1 << 20, .options = {.file_size_limit = 1 << 20, .out_dir = dir}, .status = 128 + SIGXFSZ, .err = "", .text = 1 << 20, .allocated = 1 << 20});
        }
    }
    const int huge = memfd_create("probe", MFD_CLOEXEC | MFD_HUGETLB);
    if (huge >= 0) {
        close(huge);
        cases.push_back({.name = "a file of huge pages (hugetlbfs)", .bytes = 1 << 20, .options = {.sink = Sink::memfd, .strace = reserving, .memfd_flags = MFD_HUGETLB}, .status = 1, .err = "Error writing output: Invalid argument\n", .text = 0, .reserves = false});
    } else {
        std::cout << "skipped: the hugetlbfs row: no file of huge pages can be made here\n";
    }
    // clang-format on
    spit(dir_ / "numbers.bin", random_bytes(1 << 20, 7));
    ASSERT_EQ(run({.strace = writes}).status, 0);
    const std::size_t file_write = longest_write(slurp(log));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = random_bytes(c.bytes, 7);
        spit(dir_ / "numbers.bin", bytes);
        const Result r = run(c.options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.size(), c.text.value_or(r.out.size()));
        EXPECT_TRUE(encoded(bytes).compare(0, r.out.size(), r.out) == 0);
        if (c.options.sink == Sink::pipe) {
            EXPECT_EQ(r.pipe_size_after, r.pipe_size_before) << "the pipe was resized";
        }
        if (c.options.sink == Sink::pipe && !c.options.strace.empty()) {
            // Each write leaves a quarter of the pipe free at least, and
            // fills more than half of it, unless the pipe is so wide that
            // the writes are those into a file.
            const std::size_t longest = longest_write(slurp(log));
            const auto capacity = static_cast<std::size_t>(r.pipe_size_before);
            EXPECT_LE(longest, capacity / 4 * 3);
            if (c.file_blocks) {
                EXPECT_EQ(longest, file_write);
            } else {
                EXPECT_GT(longest, capacity / 2);
            }
        }
        if (c.reserves) {
            EXPECT_EQ(occurrences(slurp(log), "fallocate(1, ") > 0, *c.reserves);
        }
        EXPECT_EQ(r.allocated, c.allocated.value_or(r.allocated));
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

TEST_F(Workspace, OtherWritersOfTheFileLoseNothing) {
    // hexshow >> log while another thread appends numbered records of nine
    // bytes to the log, the dump succeeding or stopping early: every record
    // survives whole, no zero byte appears, and the dump text is intact up
    // to where it stopped.
    struct Case {
        std::string name;
        Options options;
        int status;
        std::string err;
        bool whole;
    };
    const std::string bytes = random_bytes(8 << 20, 8); // the text of several windows
    const std::string want = encoded(bytes);
    const fs::path input = dir_ / "numbers.bin";
    const fs::path log = root_ / "stdout";
    const auto injected = [&](const std::string& injection) {
        return std::vector<std::string>{"-o", "/dev/null", "-P", input.string(), "-e", injection};
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"the whole dump", {.sink = Sink::append}, 0, "", true},
        {"a file size limit", {.sink = Sink::append, .ignored_signal = SIGXFSZ, .file_size_limit = 5 << 20}, 1, "Error writing output: File too large\n", false},
        {"a failed read", {.sink = Sink::append, .strace = injected("inject=read:error=EIO:when=20")}, 1, "Error reading file: Input/output error\n", false},
        {"the input ending early, as if truncated", {.sink = Sink::append, .strace = injected("inject=read:retval=0:when=10")}, 0, "", false},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        spit(input, bytes);
        fs::remove(log);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        std::size_t appended = 0;
        const auto append = [&] {
            char record[16];
            (void)std::snprintf(record, sizeof record, "R%07zu\n", appended);
            appended += write(fd, record, 9) == 9 ? 1 : 0;
        };
        append(); // one at least, however soon the dump is over
        std::atomic<bool> stop = false;
        std::thread appender([&] {
            while (!stop) {
                append();
            }
        });
        const Result r = run(c.options);
        stop = true;
        appender.join();
        close(fd);
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
        EXPECT_EQ(text.size() == want.size(), c.whole);
        EXPECT_TRUE(want.compare(0, text.size(), text) == 0) << "the dump text is damaged";
    }
}

} // namespace
