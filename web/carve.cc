// The web page's entry into the extractor, compiled to WebAssembly and run
// in a Web Worker (worker.js). It carves one input exactly as the
// command-line tool carves one argument, with the same code: the stream
// extractor reads the input's bytes from the worker as it goes, and writes
// each output to the worker under the name the tool gives it (platform.cc).
// The console text goes to a stream that drops it. Where each image was
// found, the offset of its "IHDR" tag, goes to the worker just before the
// image's output is opened; once it is closed, the length of the input run
// it holds, how it ended, and what pngcarve-report's trace of its bytes
// found (report/trace.h): its size, its IHDR's width and height, its SHA-256
// and MD5, and the IHDR tags inside it; and its structure check
// (report/check.h), pngcarve-report's own, with whether it is sound, so
// that the page need not decode it to know that it shows.
#include <emscripten/emscripten.h>
#include <stdio.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "png_extract.h"
#include "trace.h"

// Offsets up to 2^53 pass through a double exactly; width and height are
// -1 for an image too short to hold them. The hashes are hex text, and the
// hidden tags' offsets `listed` doubles, in the worker's view of the
// WebAssembly memory; `check` is its answer's index in kCheckNames. (The
// bodies are JavaScript, which clang-format would take for C++.)
// clang-format off
EM_JS(void, web_image_found, (double offset), { Module.imageFound(offset); });
EM_JS(void, web_image_ended,
      (double run_length, int iend, double size, double width, double height,
       const char* sha256, const char* md5, double hidden,
       const double* offsets, int listed, int check, int sound),
      {
        Module.imageEnded(run_length, iend !== 0, size, width, height, sha256,
                          md5, hidden, offsets, listed, check, sound !== 0);
      });
// clang-format on

namespace {

ssize_t drop(void*, const char*, size_t n) { return static_cast<ssize_t>(n); }

}  // namespace

// Carves the input the worker holds, naming the outputs after `name` (the
// input's path as the page shows it). Returns the ExtractResult as a number.
extern "C" EMSCRIPTEN_KEEPALIVE int carve(const char* name) {
  cookie_io_functions_t io = {nullptr, drop, nullptr, nullptr};
  std::FILE* console = fopencookie(nullptr, "w", io);
  if (console == nullptr) return -1;
  pngcarve::ImageTrace trace;
  pngcarve::ImageRecord record;
  pngcarve::StructureCheck check;
  std::vector<double> offsets;
  // The input is the worker's: its reads never touch the stream given.
  int result = static_cast<int>(pngcarve::png_extract_stream(
      nullptr, name, console, false,
      [&](uint64_t offset) {
        web_image_found(static_cast<double>(offset));
        trace.start(offset, &record);
        check.start();
      },
      [&](uint64_t run_length, bool iend) {
        trace.end(&record);
        offsets.assign(record.hidden.begin(), record.hidden.end());
        const double width = record.sized ? record.width : -1;
        const double height = record.sized ? record.height : -1;
        web_image_ended(static_cast<double>(run_length), iend,
                        static_cast<double>(record.size), width, height,
                        record.sha256.c_str(), record.md5.c_str(),
                        static_cast<double>(record.hidden_count),
                        offsets.data(), static_cast<int>(offsets.size()),
                        pngcarve::check_code(check.end(!iend)),
                        check.sound(!iend));
      },
      [&](const unsigned char* data, size_t n) {
        trace.push(data, n);
        check.push(data, n);
      }));
  std::fclose(console);
  return result;
}
