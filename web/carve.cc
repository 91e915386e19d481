// The web page's entry into the extractor, compiled to WebAssembly and run
// in a Web Worker (worker.js). It carves one input exactly as the
// command-line tool does, with the same code. The worker sets up the input's
// name and a console device in the in-memory file system, and hands over the
// input's bytes as the extractor reads them (platform.cc); the outputs are
// written beside the input there, under the names the tool gives them.
#include <emscripten/emscripten.h>

#include <cstdio>

#include "platform.h"
#include "png_extract.h"

// Carves the file at `path`, writing the console text to `console`, which
// is flushed after each progress line: when it is written, every output
// made so far is closed. Returns the ExtractResult as a number, or -1 when
// either can't be opened.
extern "C" EMSCRIPTEN_KEEPALIVE int carve(const char* path,
                                          const char* console) {
  std::FILE* in = pngcarve::open_file(path, "rb");
  if (in == nullptr) return -1;
  std::FILE* out = std::fopen(console, "wb");
  if (out == nullptr) {
    std::fclose(in);
    return -1;
  }
  pngcarve::ExtractResult result =
      pngcarve::png_extract_stream(in, path, out, true);
  std::fclose(out);
  std::fclose(in);
  return static_cast<int>(result);
}
