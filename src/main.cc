// pngcarve: carves the PNG images out of each file named on the command
// line, in order. Every argument is an input path; there are no options.
// Exit status 0, or 1 when anything was lost: an output file that can't be
// created or written (the run stops there), an input whose reading failed
// (the run goes on), or console text that could not be written.
#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"
#include "png_extract.h"

namespace {

using pngcarve::ExtractResult;

int run(const std::vector<std::string>& paths) {
  int status = 0;
  for (const std::string& path : paths) {
    ExtractResult result = pngcarve::png_extract(path);
    if (result != ExtractResult::kOk) status = 1;
    if (result == ExtractResult::kCreateFailed ||
        result == ExtractResult::kWriteFailed)
      break;
  }
  // Console text that could not be written (a full disk, a closed pipe) is
  // a failure too, though carving went on. Closing flushes what is left.
  bool console_ok = !std::ferror(stdout);
  if (std::fclose(stdout) != 0 || !console_ok) status = 1;
  return status;
}

}  // namespace

#ifdef _WIN32
// The Windows shell passes wildcards on unexpanded: this switches on the C
// runtime's own expansion of the argument vector at start-up.
extern "C" {
int _dowildcard = -1;
}

int wmain(int argc, wchar_t** argv) {
  pngcarve::use_utf8_console();
  return run(pngcarve::utf8_arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
