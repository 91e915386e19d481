// The web page's entry into the extractor, compiled to WebAssembly and run
// in a Web Worker (worker.js). It carves one input exactly as the
// command-line tool carves one argument, with the same code: the stream
// extractor reads the input's bytes from the worker as it goes, and writes
// each output to the worker under the name the tool gives it (platform.cc).
// The console text goes to a stream that drops it. Where each image was
// found, the offset of its "IHDR" tag, goes to the worker just before the
// image's output is opened; once it is closed, the length of the input run
// it holds and how it ended.
#include <emscripten/emscripten.h>
#include <stdio.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "png_extract.h"

// Offsets up to 2^53 pass through a double exactly.
EM_JS(void, web_image_found, (double offset), { Module.imageFound(offset); });
EM_JS(void, web_image_ended, (double run_length, int iend),
      { Module.imageEnded(run_length, iend !== 0); });

namespace {

ssize_t drop(void*, const char*, size_t n) { return static_cast<ssize_t>(n); }

}  // namespace

// Carves the input the worker holds, naming the outputs after `name` (the
// input's path as the page shows it). Returns the ExtractResult as a number.
extern "C" EMSCRIPTEN_KEEPALIVE int carve(const char* name) {
  cookie_io_functions_t io = {nullptr, drop, nullptr, nullptr};
  std::FILE* console = fopencookie(nullptr, "w", io);
  if (console == nullptr) return -1;
  // The input is the worker's: its reads never touch the stream given.
  int result = static_cast<int>(pngcarve::png_extract_stream(
      nullptr, name, console, false,
      [](uint64_t offset) { web_image_found(static_cast<double>(offset)); },
      [](uint64_t run_length, bool iend) {
        web_image_ended(static_cast<double>(run_length), iend);
      }));
  std::fclose(console);
  return result;
}
