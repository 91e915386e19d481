// What the extractor's platform layer is in the web page: the input comes
// from the worker (worker.js) as the extractor reads it, and each output
// goes to the worker as it is written. The extractor itself is the
// command-line tool's, unchanged; this file takes the place of
// src/platform.cc in the WebAssembly build.
#include <emscripten/emscripten.h>

#include <cstdint>

#include "platform.h"

namespace pngcarve {

// In the web page, the input is a File that the worker reads as a stream,
// which a browser offers only asynchronously: the call waits for the
// worker's readInput (the extractor is suspended meanwhile, by Asyncify).
// What has come already is taken at once, without suspending.
EM_JS(long, web_read, (void* buf, size_t n), {
  if (Asyncify.state === Asyncify.State.Normal) {
    const count = Module.readNow(buf, n);
    if (count !== null) return count;
  }
  return Asyncify.handleAsync(() => Module.readInput(buf, n));
});

// Outputs go to the worker as they are written, a piece at a time, rather
// than into the in-memory file system: an image of any size then never sits
// whole in the worker, and a finished one is known at once by its close.
EM_JS(int, web_open_output, (const char* name, size_t length),
      { return Module.openOutput(name, length); });
EM_JS(int, web_write_output, (int id, const void* data, size_t n),
      { return Module.writeOutput(id, data, n); });
EM_JS(int, web_close_output, (int id), { return Module.closeOutput(id); });

namespace {

int output_id(void* cookie) {
  return static_cast<int>(reinterpret_cast<intptr_t>(cookie));
}

ssize_t write_output(void* cookie, const char* data, size_t n) {
  return web_write_output(output_id(cookie), data, n) ? static_cast<ssize_t>(n)
                                                      : -1;
}

int close_output(void* cookie) { return web_close_output(output_id(cookie)); }

}  // namespace

// Only outputs are opened: the input is the worker's, carved as a stream.
std::FILE* open_file(const std::string& path, const char* mode) {
  if (mode[0] != 'w') return nullptr;
  int id = web_open_output(path.data(), path.size());
  if (id < 0) return nullptr;
  cookie_io_functions_t io = {nullptr, write_output, nullptr, close_output};
  return fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(id)), mode,
                     io);
}

// The input's bytes are the worker's; no file stands for it.
long read_some(std::FILE*, void* buf, size_t n) { return web_read(buf, n); }

bool is_directory(std::FILE*) { return false; }

// The page drops the console's text, so it need not be flushed for a
// terminal.
bool is_terminal(std::FILE*) { return false; }

}  // namespace pngcarve
