#include "png_extract.h"

#include <cinttypes>
#include <cstring>

#include "platform.h"
#include "stream_copy.h"
#include "tag_search.h"

namespace pngcarve {

namespace {

// Output files get a larger buffer than stdio's default, so that the small
// pieces of an image (headers, short chunks) leave in few system calls.
constexpr size_t kOutputBufferSize = 64 * 1024;

// Writes to `out`, if there is one, and shows the bytes to `tap`.
bool write_all(std::FILE* out, const unsigned char* data, size_t n,
               const Tap& tap) {
  if (tap) tap(data, n);
  return out == nullptr || std::fwrite(data, 1, n, out) == n;
}

ExtractResult fail(std::FILE* console, const char* message,
                   ExtractResult result) {
  std::fputs(message, console);
  std::fflush(console);
  return result;
}

// Closes `out`, if there is one; a failed flush or close is a write
// failure.
bool close_output(std::FILE* out, bool ok) {
  if (out == nullptr) return ok;
  ok = std::fflush(out) == 0 && ok;
  return std::fclose(out) == 0 && ok;
}

}  // namespace

// A tag that straddles two refills is found, because the last three bytes
// of each block are kept for the next one.
bool search_ihdr(Input& in) {
  for (;;) {
    size_t have = input_fill(in, 4);
    if (have < 4) return false;
    const unsigned char* begin = in.buf.data() + in.pos;
    const unsigned char* end = begin + have;
    const unsigned char* hit = find_ihdr(begin, end);
    if (hit != end) {
      in.pos += static_cast<size_t>(hit - begin) + 4;
      return true;
    }
    in.pos += have - 3;  // keep the last three bytes for the next block
  }
}

std::string terminal_safe(const std::string& path) {
  std::string shown;
  shown.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    auto c = static_cast<unsigned char>(path[i]);
    bool c1 = c == 0xC2 && i + 1 < path.size() &&
              (static_cast<unsigned char>(path[i + 1]) & 0xE0) == 0x80;
    if (c < 0x20 || c == 0x7F || c1) {
      shown += '?';
      i += c1;  // both bytes of the C1 control
    } else {
      shown += path[i];
    }
  }
  return shown;
}

std::string output_name(const std::string& path, int64_t n) {
  char number[32];
  std::snprintf(number, sizeof number, ".%04" PRId64 ".png", n);
  return path + number;
}

ExtractResult png_extract_stream(std::FILE* file, const std::string& path,
                                 std::FILE* console, bool terminal,
                                 CarveSink* sink) {
  static const char kCreateFailed[] = "\n  Failed to create file !!\n";
  static const char kWriteFailed[] = "\n  Failed to write file !!\n";
  static const char kReadFailed[] = "\n  Failed to read file !!\n";

  Input in;
  input_open(in, file);
  int64_t counter = 0;
  std::vector<char> out_buffer(kOutputBufferSize);
  const std::string shown = terminal ? terminal_safe(path) : path;
  // With no sink, no one is told of the bytes: pngcarve's copy goes
  // untapped.
  CarveSink none;
  const Tap bytes =
      sink == nullptr ? Tap() : [sink](const unsigned char* data, size_t n) {
        sink->bytes(data, n);
      };
  if (sink == nullptr) sink = &none;
  const bool write = sink->writes();
  if (sink->sees_input())
    in.seen = [sink](const unsigned char* data, size_t n) {
      sink->input(data, n);
    };

  while (search_ihdr(in)) {
    std::string name = output_name(path, counter);
    std::fprintf(console, "\rExtracting: %s -> %" PRId64, shown.c_str(),
                 counter);
    if (terminal) std::fflush(console);
    sink->start(in.base + in.pos - 4);  // back to the tag's start

    std::FILE* out = nullptr;
    if (write) {
      out = open_file(name, "wb");
      if (out == nullptr)
        return fail(console, kCreateFailed, ExtractResult::kCreateFailed);
      std::setvbuf(out, out_buffer.data(), _IOFBF, out_buffer.size());
    }

    // The input bytes copied run from here to `run_end`; a chunk header
    // that ends the image, or a part of one at the input's end, is not
    // copied.
    const uint64_t run_start = in.base + in.pos;
    bool ok = write_all(out, kSignature, sizeof kSignature, bytes) &&
              write_all(out, kIhdrHeader, sizeof kIhdrHeader, bytes) &&
              fcopy(out, in, kIhdrTail, bytes);
    uint64_t run_end = in.base + in.pos;
    bool idat_seen = false;
    bool ended_by_chunk = false;
    unsigned char header[8];  // length field, then tag
    while (ok && input_read(in, header, 8) == 8) {
      bool is_idat = std::memcmp(header + 4, kIdatTag, 4) == 0;
      if (idat_seen && !is_idat) {
        ended_by_chunk = true;  // the header is dropped, its data searched
        break;
      }
      idat_seen = idat_seen || is_idat;
      // Data and CRC. The sum wraps modulo 2^32, so a length of FF FF FF FC
      // to FF FF FF FF copies 0 to 3 bytes.
      uint32_t body = load_be32(header) + 4u;
      ok = write_all(out, header, 8, bytes) && fcopy(out, in, body, bytes);
      run_end = in.base + in.pos;
    }
    if (ok && ended_by_chunk)
      ok = write_all(out, kIendChunk, sizeof kIendChunk, bytes);
    if (!close_output(out, ok))
      return fail(console, kWriteFailed, ExtractResult::kWriteFailed);
    sink->end(run_end - run_start, ended_by_chunk);
    if (!ended_by_chunk) break;  // the input ended inside the image
    ++counter;
  }
  if (in.failed) return fail(console, kReadFailed, ExtractResult::kReadFailed);
  std::fputc('\n', console);
  return ExtractResult::kOk;
}

ExtractResult png_extract(const std::string& path) {
  std::FILE* file = open_file(path, "rb");
  if (file == nullptr) return ExtractResult::kOk;
  if (is_directory(file)) {
    std::fclose(file);
    return ExtractResult::kOk;
  }
  ExtractResult result =
      png_extract_stream(file, path, stdout, is_terminal(stdout));
  std::fclose(file);
  return result;
}

}  // namespace pngcarve
