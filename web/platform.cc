// What the extractor's platform layer is in the web page: the input comes
// from the worker (worker.js) as the extractor reads it. The extractor itself
// is the command-line tool's, unchanged; this file takes the place of
// src/platform.cc in the WebAssembly build.
#include "platform.h"

#include <emscripten/emscripten.h>

#include <cstdint>

namespace pngcarve {

// In the web page, the input is a File that the worker reads as a stream,
// which a browser offers only asynchronously: the call waits for the
// worker's readInput (the extractor is suspended meanwhile, by Asyncify).
// What has come already is taken at once, without suspending.
// (The body is JavaScript, which clang-format would take for C++.)
// clang-format off
EM_JS(long, web_read, (void* buf, size_t n), {
  if (Asyncify.state === Asyncify.State.Normal) {
    const count = Module.readNow(buf, n);
    if (count !== null) return count;
  }
  return Asyncify.handleAsync(() => Module.readInput(buf, n));
});
// clang-format on

// The page makes no files: each image is a place in its input, which the
// worker reads again when it is wanted (carve.cc asks for no outputs).
std::FILE* open_file(const std::string&, const char*) { return nullptr; }

// The input's bytes are the worker's; no file stands for it.
long read_some(std::FILE*, void* buf, size_t n) { return web_read(buf, n); }

bool is_directory(std::FILE*) { return false; }

// The page drops the console's text, so it need not be flushed for a
// terminal.
bool is_terminal(std::FILE*) { return false; }

}  // namespace pngcarve
