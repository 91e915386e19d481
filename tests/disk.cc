#include "disk.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "png_builder.h"
#include "stream_copy.h"

namespace testutil {

Disk lay(const std::string& png, size_t clusters,
         const std::vector<size_t>& places,
         const std::vector<size_t>& piece_clusters, std::string fill) {
  Disk disk;
  disk.bytes = fill.empty() ? filler(clusters * kCluster, 7) : std::move(fill);
  size_t from = 0;
  for (size_t k = 0; k < places.size(); ++k) {
    const size_t n =
        k + 1 == places.size()
            ? png.size() - from
            : std::min(png.size() - from, piece_clusters[k] * kCluster);
    disk.bytes.replace(places[k] * kCluster, n, png, from, n);
    const uint64_t at = places[k] * kCluster;
    if (k == 0)
      disk.truth.push_back({at + 16, n - 16});
    else
      disk.truth.push_back({at, n});
    from += n;
  }
  disk.ihdr_tag = places[0] * kCluster + 12;
  return disk;
}

pngcarve::ReadAt reader(const std::string& bytes) {
  return [&bytes](uint64_t at, unsigned char* out, size_t n) -> size_t {
    if (at >= bytes.size()) return 0;
    n = std::min<size_t>(n, bytes.size() - at);
    std::memcpy(out, bytes.data() + at, n);
    return n;
  };
}

pngcarve::TagIndex index_of(const std::string& bytes, size_t step) {
  pngcarve::TagIndex index;
  for (size_t at = 0; at < bytes.size(); at += step)
    index.push(reinterpret_cast<const unsigned char*>(bytes.data()) + at,
               std::min(step, bytes.size() - at));
  index.done();
  return index;
}

std::string rows_of(const std::string& png) {
  std::string z;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t n = pngcarve::load_be32(
        reinterpret_cast<const unsigned char*>(png.data()) + at);
    if (png.compare(at + 4, 4, "IDAT") == 0) z += png.substr(at + 8, n);
    at += 12 + n;
  }
  std::string raw(1 << 24, '\0');
  uLongf size = raw.size();
  uncompress(reinterpret_cast<Bytef*>(raw.data()), &size,
             reinterpret_cast<const Bytef*>(z.data()), z.size());
  raw.resize(size);
  return raw;
}

}  // namespace testutil
