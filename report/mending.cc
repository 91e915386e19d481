#include "mending.h"

#include <utility>
#include <vector>

#include "platform.h"
#include "twin.h"

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

std::string mend_images(std::FILE* file, const std::string& path,
                        const std::vector<uint64_t>& tags,
                        const std::vector<Broken>& broken, bool write,
                        const std::function<void(const ImageRecord&)>& emit) {
  const ReadAt read = [file](uint64_t at, unsigned char* out, size_t n) {
    return read_at(file, at, out, n);
  };
  Twin twin;
  for (const Broken& image : broken) {
    if (!make_twin(read, tags, path, image.offset, image.output, &twin))
      return "an image's hashes could not be computed (out of memory)";
    const ImageRecord& record = twin.record;
    if (record.output.empty()) continue;
    if (write && !write_file(record.output, twin.bytes))
      return "could not write " + record.output;
    emit(record);
  }
  return "";
}

}  // namespace pngcarve
