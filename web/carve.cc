// The web page's entry into the extractor, compiled to WebAssembly and run
// in a Web Worker (worker.js). It carves one input exactly as the
// command-line tool carves one argument, with the same code. The worker
// puts an empty file of the input's name in the in-memory file system and
// hands over the input's bytes as the extractor reads them (platform.cc);
// the outputs are written beside it there, under the names the tool gives
// them, and the console text goes to a standard output that drops it.
// Where each image was found, the offset of its "IHDR" tag, goes to the
// worker just before the image's output is opened; once it is closed, the
// length of the input run it holds and how it ended.
#include <emscripten/emscripten.h>

#include <cstdint>

#include "png_extract.h"

// Offsets up to 2^53 pass through a double exactly.
EM_JS(void, web_image_found, (double offset), { Module.imageFound(offset); });
EM_JS(void, web_image_ended, (double run_length, int iend),
      { Module.imageEnded(run_length, iend !== 0); });

// Carves the file at `path`. Returns the ExtractResult as a number.
extern "C" EMSCRIPTEN_KEEPALIVE int carve(const char* path) {
  return static_cast<int>(pngcarve::png_extract(
      path,
      [](uint64_t offset) { web_image_found(static_cast<double>(offset)); },
      [](uint64_t run_length, bool iend) {
        web_image_ended(static_cast<double>(run_length), iend);
      }));
}
