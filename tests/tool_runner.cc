#include "tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "png_builder.h"

namespace fs = std::filesystem;

namespace testutil {

void TempDirTest::SetUp() { dir_ = make_temp_dir(); }

void TempDirTest::TearDown() { fs::remove_all(dir_); }

pid_t start_tool(const fs::path& cwd, const std::vector<std::string>& args,
                 const ToolOptions& options) {
  const char* custom = std::getenv("PNGCARVE_TOOL");
  std::string tool = !options.program.empty() ? options.program
                     : custom != nullptr      ? custom
                                              : PNGCARVE_BINARY;
  fs::path out = cwd / ".stdout", err = cwd / ".stderr";
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(120);
    int o = options.out_fd >= 0
                ? options.out_fd
                : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    for (const std::string& entry : options.env)
      putenv(const_cast<char*>(entry.c_str()));
    // The signals as a shell leaves them to a program it starts, whatever
    // this process was given (a background job ignores SIGINT) or set.
    for (int sig : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM}) signal(sig, SIG_DFL);
    alarm(300);  // a hang shows as SIGALRM, not as a stuck test run
    std::vector<char*> argv{tool.data()};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

Result finish_tool(pid_t pid, const fs::path& cwd) {
  int st = 0;
  waitpid(pid, &st, 0);
  Result r;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = read_file(cwd / ".stdout");
  r.err = read_file(cwd / ".stderr");
  fs::remove(cwd / ".stdout");
  fs::remove(cwd / ".stderr");
  return r;
}

Result run_tool(const fs::path& cwd, const std::vector<std::string>& args,
                const ToolOptions& options) {
  return finish_tool(start_tool(cwd, args, options), cwd);
}

std::vector<std::vector<std::string>> csv_rows(const std::string& csv) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(csv);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');)
      fields.push_back(cell);
    if (line.back() == ',') fields.emplace_back();
    rows.push_back(fields);
  }
  return rows;
}

std::string output_of(const std::string& command) {
  std::string out;
  if (std::FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
      out.append(buf, n);
    pclose(p);
  }
  return out;
}

}  // namespace testutil
