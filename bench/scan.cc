// The floor under the tool's own time: reads FILE with the tool's reader
// and searches it for "IHDR" with the tool's search, writing nothing, and
// prints the number of tags found. For bench/run.
//
// Usage: scan FILE
#include <cstdio>

#include "platform.h"
#include "png_extract.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: scan FILE\n");
    return 2;
  }
  std::FILE* file = pngcarve::open_file(argv[1], "rb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  pngcarve::Input in;
  pngcarve::input_open(in, file);
  long tags = 0;
  while (pngcarve::search_ihdr(in)) ++tags;
  std::fclose(file);
  std::printf("%ld\n", tags);
  return in.failed ? 1 : 0;
}
