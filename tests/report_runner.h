// For pngcarve-report's end-to-end tests: the built tool run in a folder,
// and a file's hash as a coreutils tool (md5sum, sha256sum) gives it.
#ifndef PNGCARVE_TESTS_REPORT_RUNNER_H_
#define PNGCARVE_TESTS_REPORT_RUNNER_H_

#include <filesystem>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace testutil {

inline Result report(const std::filesystem::path& cwd,
                     const std::vector<std::string>& args, int out_fd = -1) {
  ToolOptions options;
  options.program = PNGCARVE_REPORT_BINARY;
  options.out_fd = out_fd;
  return run_tool(cwd, args, options);
}

inline std::string hash_of(const char* tool,
                           const std::filesystem::path& file) {
  std::string line = output_of(std::string(tool) + " '" + file.string() + "'");
  return line.substr(0, line.find(' '));
}

}  // namespace testutil

#endif  // PNGCARVE_TESTS_REPORT_RUNNER_H_
