// pngcarve: carves the PNG images out of each file named on the command
// line, in order. Every argument is an input path; there are no options.
// Exit status 0, or 1 when an output file can't be created or written.
#include <string>
#include <vector>

#include "platform.h"
#include "png_extract.h"

namespace {

int run(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (pngcarve::png_extract(path) != pngcarve::ExtractResult::kOk) return 1;
  }
  return 0;
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
