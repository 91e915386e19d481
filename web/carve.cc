// The web page's entry into the extractor and the record, compiled to
// WebAssembly and run in a Web Worker (worker.js). It carves one input exactly
// as the command-line tool carves one argument, with the same code: the stream
// extractor reads the input's bytes from the worker as it goes, and writes
// each output to the worker under the name the tool gives it (platform.cc).
// The console text goes to a stream that drops it. Where each image was
// found, the offset of its "IHDR" tag, goes to the worker just before the
// image's output is opened; once it is closed, the length of the input run
// it holds, how it ended, and what pngcarve-report's trace of its bytes
// found (record/trace.h): its IHDR's width and height, its SHA-256
// and MD5, and the IHDR tags inside it; and its structure check
// (record/check.h), pngcarve-report's own, with whether it is sound, so
// that the page need not decode it to know that it shows.
//
// The page's record (its report, as CSV or DFXML) is pngcarve-report's
// text, made here a piece at a time from the fields the page keeps of each
// image (record_begin, record_images, record_end).
//
// Once an input is carved, the worker has each image whose check failed
// mended, or its rows before the break salvaged (mend_image), as
// pngcarve-report does (record/twin.h), from the IDAT and IEND tags noted
// as the input went by and the input read again at will, from the File.
#include <emscripten/emscripten.h>
#include <stdio.h>
#include <sys/types.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "mend.h"
#include "nested.h"
#include "png_extract.h"
#include "record.h"
#include "trace.h"
#include "twin.h"

// Offsets up to 2^53 pass through a double exactly; width and height are
// -1 for an image too short to hold them. The hashes are 48 bytes at
// `digests`, SHA-256 then MD5, and the hidden tags' offsets `listed`
// doubles, in the worker's view of the WebAssembly memory; `check` is its
// answer's index in kCheckNames, `crc` the CRC-32 of its bytes. An image
// carved inside another's run (src/nested.h) has its name and its
// parent's; the extractor's have none, the page numbering them. (The
// bodies are JavaScript, which clang-format would take for C++.)
// clang-format off
EM_JS(void, web_image_ended,
      (double offset, double run_length, int iend, double width,
       double height, const unsigned char* digests, double hidden,
       const double* offsets, int listed, int check, int sound, double crc,
       const char* name, const char* parent, double not_carved),
      {
        Module.imageEnded(offset, run_length, iend !== 0, width, height,
                          digests, hidden, offsets, listed, check, sound !== 0,
                          crc, UTF8ToString(name),
                          UTF8ToString(parent), not_carved);
      });
EM_JS(double, web_read_at, (double offset, unsigned char* out, double n),
      { return Module.readAt(offset, out, n); });
EM_JS(void, web_twin_made,
      (int mended, const char* name, const char* bytes, double size,
       double width, double height, const unsigned char* digests,
       const char* csv, const char* dfxml),
      {
        Module.twinMade(mended !== 0, UTF8ToString(name), bytes, size, width,
                        height, digests, UTF8ToString(csv),
                        UTF8ToString(dfxml));
      });
// clang-format on

#ifndef PNGCARVE_VERSION
#define PNGCARVE_VERSION "unknown"
#endif

namespace {

ssize_t drop(void*, const char*, size_t n) { return static_cast<ssize_t>(n); }

// The last piece of a record made, which the worker copies out.
std::string text;

// The IDAT and IEND tags of the input carved last, and its images whose
// check failed (junk but): each one's IHDR tag's offset, run's length and
// output's name.
pngcarve::TagIndex tags;
struct Broken {
  uint64_t offset = 0;
  uint64_t run_length = 0;
  std::string output;
};
std::vector<Broken> broken;
// Whether an image's hashes could not be had (out of memory) in that carve.
bool hashes_lost = false;
// What went wrong when mend_image last lost something.
std::string failure;

// `count` strings one after another at `strings`, each ended by a NUL.
std::vector<std::string> split(const char* strings, int count) {
  std::vector<std::string> list;
  for (int k = 0; k < count; ++k) {
    list.emplace_back(strings);
    strings += list.back().size() + 1;
  }
  return list;
}

// An image's flags, as the page keeps them.
constexpr unsigned char kFlagIend = 1;
constexpr unsigned char kFlagSized = 2;

}  // namespace

// The length of the last piece of a record made.
extern "C" EMSCRIPTEN_KEEPALIVE int record_size() {
  return static_cast<int>(text.size());
}

// The record's head: CSV's header, or DFXML's up to its images, naming the
// page as its creator and `count` inputs at `inputs`.
extern "C" EMSCRIPTEN_KEEPALIVE const char* record_begin(int dfxml,
                                                         const char* inputs,
                                                         int count) {
  text = dfxml ? pngcarve::dfxml_begin({"pngcarve web page", PNGCARVE_VERSION,
                                        "", pngcarve::utc_now()},
                                       split(inputs, count))
               : pngcarve::csv_header();
  return text.data();
}

// The records of `count` images of the input named `input`, from the
// page's columns: each one's number in its input, or -1 for one carved
// inside another's run, whose name and parent's come next at `names`;
// where its IHDR tag stood, the run it holds, its flags, width, height,
// check (by its index in kCheckNames), its SHA-256 then MD5, how many IHDR
// tags lie inside it, with the offsets of the first `listed[i]` of them
// one image after another at `hidden`, and how many of those began no
// image. Junk is recorded as not written, as pngcarve-report leaves it.
extern "C" EMSCRIPTEN_KEEPALIVE const char* record_images(
    int dfxml, const char* input, int count, const double* numbers,
    const char* names, const double* offsets, const double* runs,
    const unsigned char* flags, const uint32_t* widths, const uint32_t* heights,
    const unsigned char* checks, const unsigned char* digests,
    const double* hidden_counts, const int* listed, const double* hidden,
    const double* not_carved) {
  text.clear();
  pngcarve::ImageRecord image;
  image.input = input;
  for (int i = 0; i < count; ++i) {
    if (numbers[i] >= 0) {
      image.output =
          pngcarve::output_name(input, static_cast<int64_t>(numbers[i]));
      image.parent.clear();
    } else {
      image.output = names;
      names += image.output.size() + 1;
      image.parent = names;
      names += image.parent.size() + 1;
    }
    image.offset = static_cast<uint64_t>(offsets[i]);
    image.run_length = static_cast<uint64_t>(runs[i]);
    image.iend = flags[i] & kFlagIend;
    image.size = sizeof pngcarve::kSignature + sizeof pngcarve::kIhdrHeader +
                 image.run_length +
                 (image.iend ? sizeof pngcarve::kIendChunk : 0);
    image.sized = flags[i] & kFlagSized;
    image.width = widths[i];
    image.height = heights[i];
    image.check = pngcarve::kCheckNames[checks[i]];
    std::copy_n(digests + i * pngcarve::kDigestsSize, pngcarve::kDigestsSize,
                image.digests.begin());
    image.hidden_count = static_cast<uint64_t>(hidden_counts[i]);
    image.hidden.assign(hidden, hidden + listed[i]);
    hidden += listed[i];
    image.not_carved = static_cast<uint64_t>(not_carved[i]);
    image.not_written = image.check == std::string("junk") ? "junk" : "";
    image.hashed = image.not_written.empty();
    text +=
        dfxml ? pngcarve::dfxml_fileobject(image) : pngcarve::csv_row(image);
  }
  return text.data();
}

// The record's end: nothing for CSV; for DFXML, the inputs that failed,
// `count` of them at `failures`, each its name then its result
// (protocol.js) then what went wrong, and the document's end.
extern "C" EMSCRIPTEN_KEEPALIVE const char* record_end(int dfxml,
                                                       const char* failures,
                                                       int count) {
  text.clear();
  if (!dfxml) return text.data();
  const std::vector<std::string> fields = split(failures, 3 * count);
  std::vector<std::pair<std::string, std::string>> failed;
  for (int k = 0; k < count; ++k) {
    const std::string& result = fields[3 * k + 1];
    const std::string& detail = fields[3 * k + 2];
    failed.emplace_back(fields[3 * k], result == "read-failed"
                                           ? pngcarve::kReadFailedText
                                       : detail.empty() ? result
                                                        : detail);
  }
  text = pngcarve::dfxml_end(failed);
  return text.data();
}

namespace {

// What the carve tells of each image goes to the worker, with what its
// trace and check found: the extractor's in slot 0, those carved inside
// other images' runs in 1 + their slot. The page writes no files: an
// image is a place in its input, read again when it is wanted.
class ToWorker : public pngcarve::SlotSink {
 public:
  explicit ToWorker(const char* input) : SlotSink(input) {}

  bool writes() const override { return false; }
  bool sees_input() const override { return true; }
  void input(const unsigned char* data, size_t n) override {
    tags.push(data, n);
  }

  void image_start(size_t k, uint64_t offset, const std::string& name,
                   const std::string& parent) override {
    Slot& slot = slots_[k];
    slot.record.output = name;
    slot.record.parent = parent;
    slot.trace.start(offset, &slot.record);
    if (!slot.check) slot.check = std::make_unique<pngcarve::StructureCheck>();
    slot.check->start();
    slot.crc = 0;
  }
  void image_bytes(size_t k, const unsigned char* data, size_t n) override {
    Slot& slot = slots_[k];
    const bool had = slot.trace.tail_whole();
    slot.trace.push(data, n);
    // Junk, which the page never writes, is not hashed, as pngcarve-report
    // leaves it.
    if (!had && slot.trace.tail_whole() &&
        pngcarve::is_junk(slot.trace.tail(), pngcarve::kIhdrTail))
      slot.trace.stop_hashing();
    slot.check->push(data, n);
    slot.crc = crc32(slot.crc, data, static_cast<uInt>(n));
  }
  void image_end(size_t k, uint64_t run_length, bool iend) override {
    Slot& slot = slots_[k];
    pngcarve::ImageRecord& record = slot.record;
    if (!slot.trace.end(&record)) hashes_lost = true;
    offsets_.assign(record.hidden.begin(), record.hidden.end());
    const double width = record.sized ? record.width : -1;
    const double height = record.sized ? record.height : -1;
    const char* answer = slot.check->end(!iend);
    const int check = pngcarve::check_code(answer);
    if (check == 0)
      tags.claim(record.offset, run_length);
    else if (std::strcmp(answer, "junk") != 0)
      broken.push_back({record.offset, run_length, record.output});
    const bool nested = k > 0;
    web_image_ended(
        static_cast<double>(record.offset), static_cast<double>(run_length),
        iend, width, height, record.digests.data(),
        static_cast<double>(record.hidden_count), offsets_.data(),
        static_cast<int>(offsets_.size()), check, slot.check->sound(!iend),
        slot.crc, nested ? record.output.c_str() : "", record.parent.c_str(),
        static_cast<double>(not_carved_in(k)));
  }

 private:
  struct Slot {
    pngcarve::ImageTrace trace;
    pngcarve::ImageRecord record;
    std::unique_ptr<pngcarve::StructureCheck> check;
    uint32_t crc = 0;
  };

  Slot slots_[kSlots];
  std::vector<double> offsets_;
};

}  // namespace

// Carves the input the worker holds, naming the outputs after `name` (the
// input's path as the page shows it). Returns the ExtractResult as a number,
// or kHashesLost when the input was carved but an image's hashes could not
// be had (out of memory).
constexpr int kHashesLost = 100;

extern "C" EMSCRIPTEN_KEEPALIVE int carve(const char* name) {
  cookie_io_functions_t io = {nullptr, drop, nullptr, nullptr};
  std::FILE* console = fopencookie(nullptr, "w", io);
  if (console == nullptr) return -1;
  // On the heap: its slots are more than a WebAssembly stack likes.
  const auto sink = std::make_unique<ToWorker>(name);
  tags = pngcarve::TagIndex();
  broken.clear();
  hashes_lost = false;
  // The input is the worker's: its reads never touch the stream given.
  int result = static_cast<int>(
      pngcarve::png_extract_stream(nullptr, name, console, false, sink.get()));
  std::fclose(console);
  tags.done();
  return result == 0 && hashes_lost ? kHashesLost : result;
}

// Mends, or failing that salvages, broken image `index` of the input
// carved last (the index-th whose check failed, in the order they ended),
// reading the input through the worker's readAt. What is kept goes to the
// worker's twinMade: whether it was mended (or salvaged), its name, its
// bytes, width, height, SHA-256 and MD5, and its record as CSV and as
// DFXML. Returns 1 if something was kept, 0 if not, -1 when something was
// lost (a read of the input failed, or memory ran out): mend_failure()
// then says what.
extern "C" EMSCRIPTEN_KEEPALIVE int mend_image(const char* input,
                                               double index) {
  const pngcarve::ReadAt read = [](uint64_t at, unsigned char* out, size_t n) {
    const double got =
        web_read_at(static_cast<double>(at), out, static_cast<double>(n));
    return got < 0 ? pngcarve::kReadAtError : static_cast<size_t>(got);
  };
  const Broken& image = broken.at(static_cast<size_t>(index));
  pngcarve::Twin twin;
  pngcarve::make_twin(
      read, tags, input, image.offset,
      pngcarve::mend_budget(tags.size(), broken.size(), image.run_length),
      image.output, &twin);
  if (!twin.failure.empty()) {
    failure = twin.failure;
    return -1;
  }
  const pngcarve::ImageRecord& record = twin.record;
  if (record.output.empty()) return 0;
  web_twin_made(!record.pieces.empty(), record.output.c_str(),
                twin.bytes.data(), static_cast<double>(twin.bytes.size()),
                record.width, record.height, record.digests.data(),
                pngcarve::csv_row(record).c_str(),
                pngcarve::dfxml_fileobject(record).c_str());
  return 1;
}

extern "C" EMSCRIPTEN_KEEPALIVE const char* mend_failure() {
  return failure.c_str();
}
