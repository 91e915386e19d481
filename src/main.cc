// pngcarve: carves the PNG images out of each file named on the command
// line, in order. Every argument is an input path; there are no options.
// Exit status 0, or 1 when an output file can't be created or written.
#include "png_extract.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (pngcarve::png_extract(argv[i]) != pngcarve::ExtractResult::kOk)
      return 1;
  }
  return 0;
}
