// The web page's entry into the extractor, compiled to WebAssembly and run
// in a Web Worker (worker.js). It carves one input exactly as the
// command-line tool carves one argument, with the same code. The worker
// puts an empty file of the input's name in the in-memory file system and
// hands over the input's bytes as the extractor reads them (platform.cc);
// the outputs are written beside it there, under the names the tool gives
// them, and the console text goes to a standard output that drops it.
#include <emscripten/emscripten.h>

#include "png_extract.h"

// Carves the file at `path`. Returns the ExtractResult as a number.
extern "C" EMSCRIPTEN_KEEPALIVE int carve(const char* path) {
  return static_cast<int>(pngcarve::png_extract(path));
}
