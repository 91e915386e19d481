// Runs the built pngcarve binary as a child process, for end-to-end tests.
#ifndef PNGCARVE_TESTS_TOOL_RUNNER_H_
#define PNGCARVE_TESTS_TOOL_RUNNER_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testutil {

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Starts the tool in `cwd` with `args`, its standard output and error going
// to files in `cwd`. `fsize_limit` > 0 caps the size of the files it may
// write (with SIGXFSZ ignored, so writes fail instead). Returns its pid.
pid_t start_tool(const std::filesystem::path& cwd,
                 const std::vector<std::string>& args, rlim_t fsize_limit = 0);

// Waits for the tool started in `cwd` and collects what it printed.
Result finish_tool(pid_t pid, const std::filesystem::path& cwd);

// Runs the tool to its end.
Result run_tool(const std::filesystem::path& cwd,
                const std::vector<std::string>& args, rlim_t fsize_limit = 0);

}  // namespace testutil

#endif  // PNGCARVE_TESTS_TOOL_RUNNER_H_
