#include "tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "png_builder.h"

namespace fs = std::filesystem;

namespace testutil {

pid_t start_tool(const fs::path& cwd, const std::vector<std::string>& args,
                 rlim_t fsize_limit) {
  fs::path out = cwd / ".stdout", err = cwd / ".stderr";
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(120);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    if (fsize_limit > 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit r{fsize_limit, fsize_limit};
      setrlimit(RLIMIT_FSIZE, &r);
    }
    std::vector<char*> argv{const_cast<char*>(PNGCARVE_BINARY)};
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(PNGCARVE_BINARY, argv.data());
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
                rlim_t fsize_limit) {
  return finish_tool(start_tool(cwd, args, fsize_limit), cwd);
}

}  // namespace testutil
