#include "png_extract.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <optional>
#include <utility>

#include "chunk_walk.h"
#include "nested.h"
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
bool search_ihdr(Input& in, uint64_t before) {
  for (;;) {
    if (in.base + in.pos >= before) return false;
    size_t have = input_fill(in, 4);
    // No farther than a tag that begins before `before` can end.
    const uint64_t room = before - (in.base + in.pos);
    if (room < have)
      have = static_cast<size_t>(std::min<uint64_t>(have, room + 3));
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

namespace {

// The nested images' outputs: each made once its IHDR bytes are known, so
// that the sink can keep it or not, and written as its bytes come. After a
// failure nothing more is made, written or told.
class NestedOutputs : public NestSink {
 public:
  NestedOutputs(CarveSink* sink, bool write)
      : sink_(sink), write_(write), open_(kMaxNested) {}
  ~NestedOutputs() override {
    for (Out& out : open_)
      if (out.file != nullptr) std::fclose(out.file);
  }

  ExtractResult failed() const { return failed_; }

  void begin(size_t slot, uint64_t offset, const std::string& name,
             const std::string& parent) override {
    if (failed_ != ExtractResult::kOk) return;
    Out& out = open_[slot];
    out.name = name;
    out.head.clear();
    out.decided = !write_;
    sink_->nested_start(slot, offset, name, parent);
  }
  void bytes(size_t slot, const unsigned char* data, size_t n) override {
    if (failed_ != ExtractResult::kOk) return;
    Out& out = open_[slot];
    sink_->nested_bytes(slot, data, n);
    if (!out.decided) {
      out.head.insert(out.head.end(), data, data + n);
      if (out.head.size() >= kHead + kIhdrTail) decide(&out);
    } else if (out.file != nullptr && std::fwrite(data, 1, n, out.file) != n) {
      fail(&out, ExtractResult::kWriteFailed);
    }
  }
  void finish(size_t slot, uint64_t run_length, bool iend) override {
    if (failed_ != ExtractResult::kOk) return;
    Out& out = open_[slot];
    if (!out.decided) decide(&out);
    if (failed_ != ExtractResult::kOk) return;
    std::FILE* file = std::exchange(out.file, nullptr);
    if (!close_output(file, true)) {
      fail(&out, ExtractResult::kWriteFailed);
      return;
    }
    sink_->nested_end(slot, run_length, iend);
  }
  void not_carved(uint64_t offset, const std::string& parent) override {
    if (failed_ == ExtractResult::kOk) sink_->not_carved(offset, parent);
  }

 private:
  static constexpr size_t kHead = sizeof kSignature + sizeof kIhdrHeader;
  static constexpr size_t kBufferSize = 16 * 1024;
  struct Out {
    std::FILE* file = nullptr;
    std::string name;
    std::vector<unsigned char> head;  // the bytes before it is decided
    bool decided = false;
    std::vector<char> buffer;
  };

  void decide(Out* out) {
    out->decided = true;
    if (!sink_->keeps(out->head.data() + kHead, out->head.size() - kHead))
      return;
    out->file = open_file(out->name, "wb");
    if (out->file == nullptr) {
      fail(out, ExtractResult::kCreateFailed);
      return;
    }
    out->buffer.resize(kBufferSize);
    std::setvbuf(out->file, out->buffer.data(), _IOFBF, out->buffer.size());
    if (std::fwrite(out->head.data(), 1, out->head.size(), out->file) !=
        out->head.size())
      fail(out, ExtractResult::kWriteFailed);
  }
  void fail(Out* out, ExtractResult result) {
    failed_ = result;
    sink_->output_failed(out->name);
  }

  CarveSink* sink_;
  const bool write_;
  std::vector<Out> open_;  // by slot
  ExtractResult failed_ = ExtractResult::kOk;
};

// Carves `in`, as png_extract_stream tells.
ExtractResult carve(Input& in, const std::string& path, std::FILE* console,
                    bool terminal, CarveSink* sink) {
  static const char kCreateFailed[] = "\n  Failed to create file !!\n";
  static const char kWriteFailed[] = "\n  Failed to write file !!\n";
  static const char kReadFailed[] = "\n  Failed to read file !!\n";

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
  const uint64_t before = sink->begins_before();
  // The images inside others' runs see each byte once the carve is past it.
  std::optional<NestedOutputs> outputs;
  std::optional<NestedCarves> nested;
  if (sink->nests()) {
    outputs.emplace(sink, write);
    nested.emplace(&*outputs, before);
    in.gone = [&nested](const unsigned char* data, size_t n) {
      nested->push(data, n);
    };
  }
  auto nested_failed = [&] {
    return outputs && outputs->failed() != ExtractResult::kOk;
  };
  auto failure = [&](ExtractResult result) {
    return fail(
        console,
        result == ExtractResult::kCreateFailed ? kCreateFailed : kWriteFailed,
        result);
  };

  while (search_ihdr(in, before)) {
    if (nested_failed()) return failure(outputs->failed());
    std::string name = output_name(path, counter);
    std::fprintf(console, "\rExtracting: %s -> %" PRId64, shown.c_str(),
                 counter);
    if (terminal) std::fflush(console);
    const uint64_t tag = in.base + in.pos - 4;  // back to the tag's start
    sink->start(tag);
    if (nested) {
      nested->top_start(tag, name);
      input_tell(in);
    }

    std::FILE* out = nullptr;
    // A sink may keep an image or not by its IHDR's bytes, which the
    // buffer holds by now unless the input ends first.
    bool keep = true;
    if (write && sink != &none) {
      const size_t have =
          std::min<size_t>(input_fill(in, kIhdrTail), kIhdrTail);
      keep = sink->keeps(in.buf.data() + in.pos, have);
    }
    if (write && keep) {
      out = open_file(name, "wb");
      if (out == nullptr) {
        sink->output_failed(name);
        return failure(ExtractResult::kCreateFailed);
      }
      std::setvbuf(out, out_buffer.data(), _IOFBF, out_buffer.size());
    }

    // The walk says how far each chunk goes and where the run ends; a chunk
    // header that ends the image, or a part of one at the input's end, is
    // not copied.
    ChunkWalk walk;
    walk.start_run();
    bool ok = write_all(out, kSignature, sizeof kSignature, bytes) &&
              write_all(out, kIhdrHeader, sizeof kIhdrHeader, bytes);
    while (ok) {
      const uint64_t from = in.base + in.pos;
      // Data and CRC, or the IHDR's 17 bytes after the tag.
      ok = fcopy(out, in, static_cast<uint32_t>(walk.to_header()), bytes);
      walk.pass(in.base + in.pos - from);
      if (!ok || !walk.between() || nested_failed()) break;
      unsigned char header[8];  // length field, then tag
      if (input_read(in, header, sizeof header) < sizeof header) break;
      walk.push(header, sizeof header);
      if (walk.ended()) break;  // the header is dropped, its data searched
      ok = write_all(out, header, sizeof header, bytes);
    }
    const bool ended_by_chunk = walk.ended();
    if (ok && ended_by_chunk)
      ok = write_all(out, kIendChunk, sizeof kIendChunk, bytes);
    if (!close_output(out, ok)) {
      sink->output_failed(name);
      return failure(ExtractResult::kWriteFailed);
    }
    if (nested) {
      // The images it holds that end where it does are told first; at the
      // input's end, every one still open is cut there.
      input_tell(in);
      ended_by_chunk ? nested->top_end() : nested->finish();
      if (nested_failed()) return failure(outputs->failed());
    }
    sink->end(walk.run(), ended_by_chunk);
    if (!ended_by_chunk) break;  // the input ended inside the image
    ++counter;
  }
  if (nested) {
    // Past the part carved, the images begun in it read on to their ends.
    while (before != UINT64_MAX && nested->carving() && !nested_failed() &&
           input_fill(in, kInputBufferSize) > 0) {
      in.pos = in.end;
      input_tell(in);
    }
    in.pos = in.end;  // the last bytes, too few for a tag, are the input's
    input_tell(in);
    nested->finish();
    if (nested_failed()) return failure(outputs->failed());
  }
  if (in.failed) return fail(console, kReadFailed, ExtractResult::kReadFailed);
  std::fputc('\n', console);
  return ExtractResult::kOk;
}

}  // namespace

static_assert(SlotSink::kSlots == 1 + kMaxNested);

void SlotSink::start(uint64_t offset) {
  names_[0] = output_name(path_, count_++);
  not_carved_[0] = 0;
  image_start(0, offset, names_[0], "");
}

void SlotSink::end(uint64_t run_length, bool iend) {
  image_end(0, run_length, iend);
  names_[0].clear();
}

void SlotSink::nested_start(size_t slot, uint64_t offset,
                            const std::string& name,
                            const std::string& parent) {
  names_[slot + 1] = name;
  not_carved_[slot + 1] = 0;
  image_start(slot + 1, offset, name, parent);
}

void SlotSink::nested_end(size_t slot, uint64_t run_length, bool iend) {
  image_end(slot + 1, run_length, iend);
  names_[slot + 1].clear();
}

void SlotSink::not_carved(uint64_t offset, const std::string& parent) {
  tag_not_carved(offset);
  ++not_carved_all_;
  for (size_t k = 0; k < kSlots; ++k)
    if (names_[k] == parent) ++not_carved_[k];
}

ExtractResult png_extract_stream(std::FILE* file, const std::string& path,
                                 std::FILE* console, bool terminal,
                                 CarveSink* sink) {
  Input in;
  input_open(in, file);
  return carve(in, path, console, terminal, sink);
}

ExtractResult png_extract_from(ReadSome read, const std::string& path,
                               std::FILE* console, bool terminal,
                               CarveSink* sink) {
  Input in;
  input_open(in, std::move(read));
  return carve(in, path, console, terminal, sink);
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
