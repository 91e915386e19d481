#include "twin.h"

#include <new>
#include <utility>

#include "trace.h"

namespace pngcarve {

namespace {

std::string read_failed(uint64_t at) {
  return "the input could not be read again at offset " + std::to_string(at) +
         ", so it was not mended or salvaged";
}

void make(const ReadAt& read, const TagIndex& tags, uint64_t offset,
          uint64_t budget, const std::string& output, Twin* twin) {
  ImageRecord& record = twin->record;
  uint32_t height = 0;  // a salvaged image's, in the input's IHDR
  Mended mended = mend(read, tags, offset, budget);
  if (mended.stopped == Stop::kReadFailed) {
    twin->failure = read_failed(mended.failed_at);
    return;
  }
  if (mended.stopped == Stop::kBound)
    twin->note = "not mended: search bound reached";
  if (!mended.pieces.empty()) {
    twin->bytes = std::move(mended.bytes);
    record.output = twin_name(output, "mended");
    record.pieces = mended.pieces;
    record.check = "ok";
    for (const Piece& piece : mended.pieces) record.run_length += piece.length;
  } else {
    Salvaged salvaged = salvage(read, offset);
    if (salvaged.stopped == Stop::kReadFailed) {
      twin->failure = read_failed(salvaged.failed_at);
      return;
    }
    if (salvaged.png.empty()) return;
    twin->bytes = std::move(salvaged.png);
    record.output = twin_name(output, "salvaged");
    record.rows = salvaged.rows;
    record.check = "salvaged";
    height = salvaged.height;
  }
  record.note = twin->note;
  ImageTrace trace;
  trace.start(offset, &record);
  trace.push(reinterpret_cast<const unsigned char*>(twin->bytes.data()),
             twin->bytes.size());
  if (!trace.end(&record)) throw std::bad_alloc();
  record.hidden_count = 0;  // where they lie is not one run's offsets
  record.hidden.clear();
  if (height != 0) record.height = height;  // the rows kept are of these
}

}  // namespace

std::string twin_name(const std::string& output, const char* kind) {
  return output.substr(0, output.size() - 4) + '.' + kind + ".png";
}

void make_twin(const ReadAt& read, const TagIndex& tags,
               const std::string& input, uint64_t offset, uint64_t budget,
               const std::string& output, Twin* twin) {
  *twin = Twin();
  twin->record.input = input;
  twin->record.from = output;
  twin->record.iend = true;
  try {
    make(read, tags, offset, budget, output, twin);
  } catch (const std::bad_alloc&) {
    twin->failure = "out of memory while mending it, so nothing was kept";
  }
  if (!twin->failure.empty()) {
    twin->record.output.clear();
    twin->bytes.clear();
    twin->bytes.shrink_to_fit();
  }
  for (std::string* said : {&twin->note, &twin->failure})
    if (!said->empty()) *said = output + ": " + *said;
}

}  // namespace pngcarve
