#include "mending.h"

#include <utility>
#include <vector>

#include "mend.h"
#include "platform.h"
#include "trace.h"

namespace pngcarve {

namespace {

// Writes `bytes` to a new file `name`; false when it could not be made,
// written or closed whole.
bool write_file(const std::string& name, const std::string& bytes) {
  std::FILE* out = open_file(name, "wb");
  if (out == nullptr) return false;
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && written;
}

}  // namespace

std::string twin_name(const std::string& output, const char* kind) {
  return output.substr(0, output.size() - 4) + '.' + kind + ".png";
}

std::string mend_images(std::FILE* file, const std::string& path,
                        const std::vector<uint64_t>& tags,
                        const std::vector<Broken>& broken, bool write,
                        const std::function<void(const ImageRecord&)>& emit) {
  const ReadAt read = [file](uint64_t at, unsigned char* out, size_t n) {
    return read_at(file, at, out, n);
  };
  ImageTrace trace;
  for (const Broken& image : broken) {
    ImageRecord record;
    record.input = path;
    record.from = image.output;
    record.iend = true;
    std::string bytes;
    uint32_t height = 0;  // a salvaged image's, in the input's IHDR
    Mended mended = mend(read, tags, image.offset);
    if (!mended.pieces.empty()) {
      bytes = std::move(mended.bytes);
      record.output = twin_name(image.output, "mended");
      record.pieces = mended.pieces;
      record.check = "ok";
      for (const Piece& piece : mended.pieces)
        record.run_length += piece.length;
    } else {
      Salvaged salvaged = salvage(read, image.offset);
      if (salvaged.png.empty()) continue;
      bytes = std::move(salvaged.png);
      record.output = twin_name(image.output, "salvaged");
      record.rows = salvaged.rows;
      record.check = "salvaged";
      height = salvaged.height;
    }
    trace.start(image.offset, &record);
    trace.push(reinterpret_cast<const unsigned char*>(bytes.data()),
               bytes.size());
    if (!trace.end(&record))
      return "an image's hashes could not be computed (out of memory)";
    record.hidden_count = 0;  // where they lie is not one run's offsets
    record.hidden.clear();
    if (height != 0) record.height = height;  // the rows kept are of these
    if (write && !write_file(record.output, bytes))
      return "could not write " + record.output;
    emit(record);
  }
  return "";
}

}  // namespace pngcarve
