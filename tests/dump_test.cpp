// What hexshow prints, what it reports and how it exits, for inputs and
// outputs that a user's shell gives it.
#include "harness.h"

#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace harness;

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
        {"newline, return, end-of-file", "\x0a\x0d\x1a"},
        {"all byte values", all},
    };
    // Around the steps of the encoding kernels (16, 32 and 64 bytes), and
    // the sizes of blocks that a program of this kind reads at once.
    for (std::size_t n :
         {1, 15, 17, 31, 33, 63, 64, 65, 127, 16383, 16385, 131071, 131072, 131073, 262151}) {
        cases.push_back({"random " + std::to_string(n), random_bytes(n, n)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        spit(dir_ / "numbers.bin", c.bytes);
        const Result r = run();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        ASSERT_EQ(r.out.size(), 3 * c.bytes.size());
        EXPECT_TRUE(r.out == encoded(c.bytes));
    }
    spit(dir_ / "numbers.bin", std::string("\x00\x0a\xff", 3));
    EXPECT_EQ(run().out, "00 0A FF ");
}

TEST_F(Workspace, ReportsEveryFailure) {
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> setup;
        Options options;
        int status;
        std::string out;
        std::string err;
    };
    const auto none = [](const fs::path&) {};
    const auto small = [](const fs::path& dir) { spit(dir / "numbers.bin", "AB"); };
    const auto empty = [](const fs::path& dir) { spit(dir / "numbers.bin", ""); };
    const auto other_case = [](const fs::path& dir) {
        spit(dir / "Numbers.bin", "x");
        spit(dir / "NUMBERS.BIN", "x");
    };
    const auto unreadable = [](const fs::path& dir) {
        spit(dir / "numbers.bin", "x");
        fs::permissions(dir / "numbers.bin", fs::perms::owner_write);
    };
    const auto directory = [](const fs::path& dir) { fs::create_directory(dir / "numbers.bin"); };
    const auto device = [](const fs::path& dir) {
        fs::create_symlink("/proc/self/mem", dir / "numbers.bin");
    };
    // Several blocks, more than a pipe holds.
    const auto large = [](const fs::path& dir) {
        spit(dir / "numbers.bin", random_bytes(2 << 20, 2));
    };
    const Options args{.args = {"-x", "other.bin", "--help"}};
    const Options unprivileged{.unprivileged = true};
    const Options full{.sink = Sink::dev_full};
    const Options closed{.sink = Sink::closed};
    const Options broken_ignored{.sink = Sink::broken_pipe, .ignored_signal = SIGPIPE};
    const Options input{.sink = Sink::input};
    // hexshow 1<&0, with standard input a pipe from a producer.
    const std::string produced = random_bytes(4000, 4);
    const Options read_end{.sink = Sink::read_end, .waiting = produced};
    // A terminal read and written: what is typed comes back as text.
    const auto terminal = [](const fs::path& dir) {
        fs::create_symlink("/dev/stdout", dir / "numbers.bin");
    };
    const Options typed{.sink = Sink::terminal, .reader = read_all, .waiting = "ab\n\x04"};
    const std::string missing = "Error opening file: No such file or directory\n";
    // clang-format off
    std::vector<Case> cases = {
        {"missing", none, {}, 1, "", missing},
        {"name differs in case", other_case, {}, 1, "", missing},
        {"no read permission", unreadable, unprivileged, 1, "", "Error opening file: Permission denied\n"},
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
        {"a terminal both ways", terminal, typed, 0, "61 62 0A ", ""},
    };
    // clang-format on
    // The input is the output, whatever kind of file it is: a /proc/sys
    // file reports size 0 and holds bytes, a block device reports none.
    const std::string same = "Error writing output: input file is output file\n";
    // In a UTS namespace of this test's own, which the program inherits,
    // the domain name is the test's to overwrite.
    static const char domain[] = "hexshow.test";
    if (unshare(CLONE_NEWUTS) == 0 && setdomainname(domain, sizeof domain - 1) == 0) {
        const auto domainname = [](const fs::path& dir) {
            fs::create_symlink("/proc/sys/kernel/domainname", dir / "numbers.bin");
        };
        cases.push_back({"output to the input, a /proc/sys file", domainname, input, 1, "", same});
    } else {
        std::cout << "skipped: the /proc/sys row: no UTS namespace may be made here\n";
    }
    const fs::path image = root_ / "disk.img";
    spit(image, random_bytes(1 << 20, 9));
    const std::string losetup =
        "losetup --find --show '" + image.string() + "' >'" + (root_ / "loop").string() + "'";
    std::string loop = geteuid() == 0 && std::system(losetup.c_str()) == 0 // NOLINT(cert-env33-c)
                           ? slurp(root_ / "loop")
                           : "";
    loop.erase(std::min(loop.find('\n'), loop.size()));
    if (!loop.empty()) {
        const auto loop_device = [&loop](const fs::path& dir) {
            fs::create_symlink(loop, dir / "numbers.bin");
            struct stat device {};
            ASSERT_EQ(stat(loop.c_str(), &device), 0);
            ASSERT_EQ(mknod((dir / "node").c_str(), S_IFBLK | 0600, device.st_rdev), 0);
        };
        cases.push_back({"output to the input, a loop device", loop_device, input, 1, "", same});
        const Options node{.sink = Sink::input, .output_name = "node"};
        cases.push_back(
            {"output to a second node of the input device", loop_device, node, 1, "", same});
    } else {
        std::cout << "skipped: the loop device row: losetup, as root, made no device\n";
    }
    // Fresh ext4 file systems give their first files the same inode number.
    const fs::path first = mounted("first", loop_image("mkfs.ext4 -q"));
    const fs::path second = mounted("second", loop_image("mkfs.ext4 -q"));
    if (!first.empty() && !second.empty()) {
        const auto same_inode = [&](const fs::path& dir) {
            spit(first / "file", "AB");
            spit(second / "file", "");
            fs::create_symlink(first / "file", dir / "numbers.bin");
            fs::create_symlink(second / "file", dir / "other");
        };
        const Options other{.sink = Sink::input, .output_name = "other"};
        cases.push_back({"output to a file of the same inode number on another device", same_inode,
                         other, 0, "", ""});
    } else {
        std::cout << "skipped: the row of one inode number on two devices: no two file systems "
                     "could be mounted here\n";
    }
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
                         encoded(std::string((4 << 20) / 3 + 1, '\0')).substr(0, 4 << 20),
                         ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::others_exec);
        c.setup(dir_);
        const Result r = run(c.options);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    if (!loop.empty()) {
        EXPECT_EQ(std::system(("losetup -d " + loop).c_str()), 0); // NOLINT(cert-env33-c)
        EXPECT_TRUE(slurp(root_ / "disk.img") == random_bytes(1 << 20, 9)) << "the device changed";
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
