// Runs the built pngcarve binary as a child process, for end-to-end tests.
//
// The binary is the one built with the tests, or the command named by the
// environment variable PNGCARVE_TOOL, so that the same tests can run another
// build of the tool (a cross-built one under an emulator, say).
#ifndef PNGCARVE_TESTS_TOOL_RUNNER_H_
#define PNGCARVE_TESTS_TOOL_RUNNER_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testutil {

// A test that runs in a new temporary folder, `dir_`, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path dir_;
};

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct ToolOptions {
  std::vector<std::string> env;  // "NAME=value" entries added for the tool
  int out_fd = -1;               // standard output; -1: a file in `cwd`
  std::string program = {};      // the program to run, if not pngcarve
};

// Starts the tool in `cwd` with `args`, its standard output and error going
// to files in `cwd`. A tool still running after 300 seconds is ended by
// SIGALRM. Returns its pid.
pid_t start_tool(const std::filesystem::path& cwd,
                 const std::vector<std::string>& args,
                 const ToolOptions& options = {});

// Waits for the tool started in `cwd` and collects what it printed.
Result finish_tool(pid_t pid, const std::filesystem::path& cwd);

// Runs the tool to its end.
Result run_tool(const std::filesystem::path& cwd,
                const std::vector<std::string>& args,
                const ToolOptions& options = {});

// What a shell command prints on its standard output.
std::string output_of(const std::string& command);

// The rows of a CSV text whose cells hold no commas, each split into cells.
std::vector<std::vector<std::string>> csv_rows(const std::string& csv);

}  // namespace testutil

#endif  // PNGCARVE_TESTS_TOOL_RUNNER_H_
