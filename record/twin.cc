#include "twin.h"

#include <utility>

#include "trace.h"

namespace pngcarve {

std::string twin_name(const std::string& output, const char* kind) {
  return output.substr(0, output.size() - 4) + '.' + kind + ".png";
}

bool make_twin(const ReadAt& read, const std::vector<uint64_t>& tags,
               const std::string& input, uint64_t offset,
               const std::string& output, Twin* twin) {
  *twin = Twin();
  ImageRecord& record = twin->record;
  record.input = input;
  record.from = output;
  record.iend = true;
  uint32_t height = 0;  // a salvaged image's, in the input's IHDR
  Mended mended = mend(read, tags, offset);
  if (!mended.pieces.empty()) {
    twin->bytes = std::move(mended.bytes);
    record.output = twin_name(output, "mended");
    record.pieces = mended.pieces;
    record.check = "ok";
    for (const Piece& piece : mended.pieces) record.run_length += piece.length;
  } else {
    Salvaged salvaged = salvage(read, offset);
    if (salvaged.png.empty()) return true;
    twin->bytes = std::move(salvaged.png);
    record.output = twin_name(output, "salvaged");
    record.rows = salvaged.rows;
    record.check = "salvaged";
    height = salvaged.height;
  }
  ImageTrace trace;
  trace.start(offset, &record);
  trace.push(reinterpret_cast<const unsigned char*>(twin->bytes.data()),
             twin->bytes.size());
  if (!trace.end(&record)) return false;
  record.hidden_count = 0;  // where they lie is not one run's offsets
  record.hidden.clear();
  if (height != 0) record.height = height;  // the rows kept are of these
  return true;
}

}  // namespace pngcarve
