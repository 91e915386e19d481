// End-to-end fault tests: every I/O call failing in turn, and an
// interruption part-way through an image.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "png_builder.h"
#include "png_extract.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;
using pngcarve::output_name;

namespace {

class FaultTest : public TempDirTest {};

// Makes the Nth stdio call of the tool fail, for every N in turn, on two
// inputs, and checks that each run ends cleanly, says what failed, keeps
// every image finished before the fault, and exits 0 only when nothing was
// lost. Runs with the test-only library PNGCARVE_FAULT_LIB preloaded.
TEST_F(FaultTest, EveryIoCallFailingInTurnIsReported) {
  const std::string kRead = "\n  Failed to read file !!\n";
  const std::string kWrite = "\n  Failed to write file !!\n";
  const std::string kCreate = "\n  Failed to create file !!\n";
  // Images larger than the input buffer, so reads and copies repeat.
  std::vector<std::string> three = {make_png(sized(300, 300, 1, 3)),
                                    make_png({}), make_png(sized(9, 9, 2))};
  std::vector<std::string> one = {make_png(sized(8, 8, 3))};
  write_file(dir_ / "three.bin",
             filler(9, 1) + three[0] + three[1] + filler(300000, 2) + three[2]);
  write_file(dir_ / "second.bin", one[0]);
  const std::vector<std::pair<std::string, std::vector<std::string>>> inputs = {
      {"three.bin", three}, {"second.bin", one}};
  const fs::path log = dir_ / "fault.log";

  int runs = 0;
  std::set<std::string> reached;  // the classes of failure injected
  for (int n = 1;; ++n) {
    for (const auto& [input, images] : inputs)
      for (size_t i = 0; i < images.size(); ++i)
        fs::remove(dir_ / output_name(input, i));
    fs::remove(log);
    Result r = run_tool(dir_, {"three.bin", "second.bin"},
                        {{"LD_PRELOAD=" PNGCARVE_FAULT_LIB,
                          "PNGCARVE_FAULT_AT=" + std::to_string(n),
                          "PNGCARVE_FAULT_LOG=" + log.string()}});
    std::istringstream fault(read_file(log));
    std::string call, kind, path;
    fault >> call >> kind >> path;
    SCOPED_TRACE("call " + std::to_string(n) + ": " + call + " " + kind + " " +
                 path);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status;
    EXPECT_EQ(r.err, "");
    if (call.empty()) {  // no Nth call: a clean run
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out.find("Failed"), std::string::npos);
      for (const auto& [input, images] : inputs)
        for (size_t i = 0; i < images.size(); ++i)
          EXPECT_EQ(read_file(dir_ / output_name(input, i)), carved(images[i]));
      runs = n - 1;
      break;
    }
    const bool console = kind == "console";
    const bool input_closed = call == "fclose" && kind == "input";
    const bool input_unopened = call == "fopen" && kind == "input";
    const bool read_failed = call == "read" || call == "fread";
    const bool stopped = !console && !input_closed && !input_unopened &&
                         !read_failed;  // a create or write failure
    const bool created = kind == "output" && call == "fopen";
    reached.insert(console          ? "console"
                   : input_closed   ? "input close"
                   : input_unopened ? "input open"
                   : read_failed    ? "read"
                   : created        ? "create"
                                    : "write");
    // Exit 0 only when nothing was lost; the failed open of an input is the
    // one silent case.
    EXPECT_EQ(r.status, input_closed || input_unopened ? 0 : 1);
    if (stopped)
      EXPECT_TRUE(r.out.ends_with(created ? kCreate : kWrite));
    else if (read_failed)
      EXPECT_NE(r.out.find(kRead), std::string::npos);
    else
      EXPECT_EQ(r.out.find("Failed"), std::string::npos);

    bool after_stop = false;
    for (const auto& [input, images] : inputs) {
      const bool hit = path.starts_with(input);
      // The outputs of an input are numbered without gaps; all are whole
      // but the one being written at a read or write fault, which keeps
      // what it was given. Nothing is written after a create or write fault.
      for (size_t i = 0; i < images.size(); ++i) {
        fs::path out = dir_ / output_name(input, i);
        if ((hit && input_unopened) || after_stop) {
          EXPECT_FALSE(fs::exists(out)) << out;
        } else if (!fs::exists(out)) {
          EXPECT_TRUE(hit && (read_failed || stopped)) << out;
          break;
        } else if (hit && (read_failed || stopped) &&
                   !fs::exists(dir_ / output_name(input, i + 1))) {
          EXPECT_TRUE(carved(images[i]).starts_with(read_file(out))) << out;
        } else {
          EXPECT_EQ(read_file(out), carved(images[i])) << out;
        }
      }
      after_stop = after_stop || (hit && stopped);
    }
  }
  // Every class is reached, so a change in how the tool does its I/O can't
  // quietly leave one untested.
  EXPECT_EQ(reached,
            (std::set<std::string>{"console", "input close", "input open",
                                   "read", "create", "write"}));
  EXPECT_GT(runs, 20);
  std::printf("fault injection: %d runs, each with one failing call\n", runs);
}

#ifdef PNGCARVE_REPORT_BINARY
// Makes pngcarve-report's Nth read of an input again (to mend it) fail, for
// every N in turn, on a disk with an image to mend and one to salvage: each
// failure is said, exits 1, and no image is written from bytes not read.
TEST_F(FaultTest, EveryMendingReadFailingInTurnIsReported) {
  constexpr size_t kCluster = 4096;
  const std::string mended = make_png(sized(120, 100, 1, 4));
  const std::string salvaged = make_png(sized(120, 100, 2, 4));
  std::string disk = filler(64 * kCluster, 3);
  disk.replace(2 * kCluster, 3 * kCluster, mended, 0, 3 * kCluster);
  disk.replace(50 * kCluster, mended.size() - 3 * kCluster, mended,
               3 * kCluster);
  disk.replace(30 * kCluster, 3 * kCluster, salvaged, 0, 3 * kCluster);
  write_file(dir_ / "disk.img", disk);
  const std::string twins[] = {"disk.img.0000.mended.png",
                               "disk.img.0001.salvaged.png"};
  const fs::path log = dir_ / "fault.log";
  ToolOptions options;
  options.program = PNGCARVE_REPORT_BINARY;
  int runs = 0;
  for (int n = 1;; ++n) {
    for (const std::string& twin : twins) fs::remove(dir_ / twin);
    fs::remove(log);
    options.env = {"LD_PRELOAD=" PNGCARVE_FAULT_LIB,
                   "PNGCARVE_FAULT_ONLY=pread",
                   "PNGCARVE_FAULT_AT=" + std::to_string(n),
                   "PNGCARVE_FAULT_LOG=" + log.string()};
    Result r = run_tool(dir_, {"--csv", "disk.img"}, options);
    if (!fs::exists(log)) {  // fewer reads than n: all went well
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(read_file(dir_ / twins[0]), mended);
      EXPECT_TRUE(decodes(read_file(dir_ / twins[1])));
      break;
    }
    ++runs;
    SCOPED_TRACE("read " + std::to_string(n));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("could not be read again at offset"),
              std::string::npos)
        << r.err;
    // One of the two is lost; the other is whole, or not written at all.
    EXPECT_TRUE(!fs::exists(dir_ / twins[0]) || !fs::exists(dir_ / twins[1]));
    if (fs::exists(dir_ / twins[0])) {
      EXPECT_EQ(read_file(dir_ / twins[0]), mended);
    }
    if (fs::exists(dir_ / twins[1])) {
      EXPECT_TRUE(decodes(read_file(dir_ / twins[1])));
    }
  }
  EXPECT_GT(runs, 2);
  std::printf("mending's reads: %d runs, each with one failing\n", runs);
}
#endif

TEST_F(FaultTest, InterruptDuringLargeCopyKeepsFinishedImages) {
  signal(SIGPIPE, SIG_IGN);  // the writer sees EPIPE once the tool is gone
  std::string png = make_png(sized(40, 40, 3));
  ASSERT_EQ(mkfifo((dir_ / "stream").c_str(), 0600), 0);
  // The writer tells when it has put 4 MiB into the pipe: the tool has then
  // read all but what the pipe and its buffers hold (well under 2 MiB), so
  // it is past 1 MiB of the image it copies, however busy the machine.
  constexpr size_t kPast = 4 << 20;
  std::promise<void> past;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    int fd = open((dir_ / "stream").c_str(), O_WRONLY);
    std::string head = png + png + png + "IHDR" + std::string(17, 'i') +
                       std::string(
                           "\x7f\xff\xff\xff"
                           "IDAT",
                           8);
    bool ok = write(fd, head.data(), head.size()) ==
              static_cast<ssize_t>(head.size());
    std::string block(1 << 16, 'z');
    size_t written = 0;
    while (ok && !stop) {
      ok = write(fd, block.data(), block.size()) > 0;
      if (ok && (written += block.size()) == kPast) past.set_value();
    }
    if (written < kPast) past.set_value();  // the tool has gone: no wait
    close(fd);
  });
  pid_t pid = start_tool(dir_, {"stream"});
  fs::path partial = dir_ / "stream.0003.png";
  // The bound only ends the wait for a tool that never opens the pipe.
  past.get_future().wait_for(std::chrono::minutes(5));
  kill(pid, SIGINT);
  Result r = finish_tool(pid, dir_);
  stop = true;
  // Should the tool have ended before it opened the pipe, release the writer.
  close(open((dir_ / "stream").c_str(), O_RDONLY | O_NONBLOCK));
  writer.join();
  EXPECT_EQ(r.status, 128 + SIGINT);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(read_file(dir_ / ("stream.000" + std::to_string(i) + ".png")),
              carved(png));
  std::string cut = read_file(partial);
  EXPECT_GT(cut.size(), 1u << 20);
  EXPECT_EQ(cut.substr(0, 16), carved(png).substr(0, 16));
}

}  // namespace
