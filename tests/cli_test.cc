// End-to-end tests: the real binary on real files in temporary folders.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "png_builder.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

std::string progress(const std::string& path, int n) {
  return "\rExtracting: " + path + " -> " + std::to_string(n);
}

class CliTest : public TempDirTest {};

TEST_F(CliTest, NoArgumentsPrintsNothing) {
  Result r = run_tool(dir_, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, PathsAreProcessedInOrderAndUnopenableOnesPassSilently) {
  std::string a = make_png(sized(4, 3, 3));
  std::string b = make_png(sized(20, 3, 4));
  write_file(dir_ / "one.pak", filler(100, 1) + a + filler(50, 2) + b);
  write_file(dir_ / "-two.bin", a);
  fs::create_directory(dir_ / "folder");
  Result r = run_tool(dir_, {"one.pak", "missing.bin", "folder", "-two.bin",
                             "one.pak", "empty"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, progress("one.pak", 0) + progress("one.pak", 1) + "\n" +
                       progress("-two.bin", 0) + "\n" + progress("one.pak", 0) +
                       progress("one.pak", 1) + "\n");
  EXPECT_EQ(read_file(dir_ / "one.pak.0000.png"), carved(a));
  EXPECT_EQ(read_file(dir_ / "one.pak.0001.png"), carved(b));
  EXPECT_EQ(read_file(dir_ / "-two.bin.0000.png"), carved(a));
  EXPECT_TRUE(decodes(read_file(dir_ / "one.pak.0001.png")));
  EXPECT_FALSE(fs::exists(dir_ / "one.pak.0002.png"));
  EXPECT_FALSE(fs::exists(dir_ / "missing.bin.0000.png"));
  EXPECT_FALSE(fs::exists(dir_ / "folder.0000.png"));
}

TEST_F(CliTest, OutputGoesBesideInputInItsDirectory) {
  fs::create_directories(dir_ / "game" / "data");
  std::string png = make_png({});
  write_file(dir_ / "game" / "data" / "data.pak", filler(10, 1) + png);
  Result r = run_tool(dir_, {"game/data/data.pak"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, progress("game/data/data.pak", 0) + "\n");
  EXPECT_EQ(read_file(dir_ / "game" / "data" / "data.pak.0000.png"),
            carved(png));
}

// Reads what the terminal shows until it holds `text`, or the tool has
// ended. The bound is the tool's own (ended by SIGALRM after 300 s), for a
// busy machine may take seconds to start it.
std::string read_terminal_until(int master, const std::string& text) {
  std::string seen;
  pollfd p{master, POLLIN, 0};
  while (seen.find(text) == std::string::npos && poll(&p, 1, 310 * 1000) == 1) {
    char buf[256];
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  return seen;
}

TEST_F(CliTest, FifoInputIsReadForwardWithLiveProgressOnATerminal) {
  std::string png = make_png(sized(200, 200, 1, 5));
  std::string input;
  for (int i = 0; i < 40; ++i) input += filler(9000 + i, i) + png;
  const size_t first = 9000 + png.size();  // the whole of image 0
  ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  int master = -1, terminal = -1;
  if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0)
    GTEST_SKIP() << "no pseudo-terminal can be opened here (no /dev/pts?)";
  pid_t pid = start_tool(dir_, {"pipe"}, {{}, terminal});
  close(terminal);
  FILE* f = fopen((dir_ / "pipe").c_str(), "wb");
  fwrite(input.data(), 1, first, f);
  fflush(f);
  // The progress line shows while the tool waits for the rest.
  EXPECT_NE(read_terminal_until(master, "Extracting: pipe -> 0")
                .find("Extracting: pipe -> 0"),
            std::string::npos);
  for (size_t i = first; i < input.size(); i += 1000)
    fwrite(input.data() + i, 1, std::min<size_t>(1000, input.size() - i), f);
  fclose(f);
  Result r = finish_tool(pid, dir_);
  close(master);
  EXPECT_EQ(r.status, 0);
  for (int i = 0; i < 40; ++i) {
    char name[32];
    snprintf(name, sizeof name, "pipe.%04d.png", i);
    EXPECT_EQ(read_file(dir_ / name), carved(png)) << name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "pipe.0040.png"));
}

// A name with escape sequences in it, as any archive may hold: on a
// terminal they show as '?'; to a pipe, and as the outputs' names, they
// stay byte for byte.
TEST_F(CliTest, NamesCantSendATerminalCommandsButStayExactInAPipe) {
  const std::string name = "a\x1b]0;PWNED\x07\x1b[2J.pak";
  std::string png = make_png({});
  write_file(dir_ / name, filler(10, 1) + png);
  int master = -1, terminal = -1;
  if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0)
    GTEST_SKIP() << "no pseudo-terminal can be opened here (no /dev/pts?)";
  pid_t pid = start_tool(dir_, {name}, {{}, terminal});
  close(terminal);
  std::string shown = read_terminal_until(master, "-> 0\r\n");
  Result r = finish_tool(pid, dir_);
  close(master);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(shown, "\rExtracting: a?]0;PWNED??[2J.pak -> 0\r\n");
  EXPECT_EQ(read_file(dir_ / (name + ".0000.png")), carved(png));
  r = run_tool(dir_, {name});
  EXPECT_EQ(r.out, progress(name, 0) + "\n");
}

// An input on a read-only file system (a mounted disk image, a
// write-blocked drive): carving it where it is fails at the first image,
// and a symbolic link to it in a writable folder carves there, as outputs
// are named after the path given. A chmod doesn't stop root, so the folder
// is made read-only by a bind mount in a mount namespace of a child's own.
TEST_F(CliTest, ReadOnlyInputCarvesThroughALinkInAWritableFolder) {
  std::string png = make_png({});
  fs::create_directories(dir_ / "evidence");
  fs::create_directories(dir_ / "case");
  write_file(dir_ / "evidence" / "disk.img", filler(10, 1) + png + png);
  fs::create_symlink(dir_ / "evidence" / "disk.img",
                     dir_ / "case" / "disk.img");
  pid_t child = fork();
  if (child == 0) {
    const std::string folder = (dir_ / "evidence").string();
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, folder.c_str(), nullptr,
              MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      _exit(100);
    Result direct = run_tool(dir_, {"evidence/disk.img"});
    write_file(dir_ / "direct", direct.out);
    if (direct.status != 1) _exit(101);
    _exit(run_tool(dir_, {"case/disk.img"}).status);
  }
  int st = 0;
  waitpid(child, &st, 0);
  if (WIFEXITED(st) && WEXITSTATUS(st) == 100)
    GTEST_SKIP() << "can't make a read-only folder here: a mount namespace "
                    "and a bind mount need root, outside a chroot";
  EXPECT_EQ(WEXITSTATUS(st), 0) << "101: carving in place did not exit 1";
  EXPECT_EQ(read_file(dir_ / "direct"), progress("evidence/disk.img", 0) +
                                            "\n  Failed to create file !!\n");
  EXPECT_FALSE(fs::exists(dir_ / "evidence" / "disk.img.0000.png"));
  EXPECT_EQ(read_file(dir_ / "case" / "disk.img.0000.png"), carved(png));
  EXPECT_EQ(read_file(dir_ / "case" / "disk.img.0001.png"), carved(png));
}

}  // namespace
