#include "salvage.h"

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "chunk_read.h"
#include "inflater.h"
#include "png_extract.h"
#include "stream_copy.h"

namespace pngcarve {

namespace {

constexpr size_t kMaxChunks = 1 << 20;
constexpr size_t kStoredMax = 65535;  // bytes in a stored deflate block

void store_be32(unsigned char* p, uint32_t v) {
  for (int k = 3; k >= 0; --k, v >>= 8) p[k] = static_cast<unsigned char>(v);
}

}  // namespace

Salvaged salvage(const ReadAt& read, uint64_t ihdr_tag) {
  Salvaged salvaged;
  // Its reads go along the image's own chunks, each read twice at most, so
  // they need no budget; every one is checked.
  Reader in(read, UINT64_MAX);
  auto failed = [&in] {
    Salvaged none;
    none.stopped = in.stopped();
    none.failed_at = in.failed_at();
    return none;
  };
  unsigned char data[kIhdrDataSize];
  if (!ihdr_whole(&in, ihdr_tag, data)) return in.going() ? salvaged : failed();
  const double raw = raw_size(data);
  const uint32_t height = load_be32(data + 4);
  // Interlaced rows come in seven passes; an image past 256 MiB of rows is
  // not held to be cut.
  if (raw <= 0 || data[12] != 0 || raw > double{1 << 28}) return salvaged;
  const size_t row = static_cast<size_t>(raw) / height;  // filter byte too
  salvaged.height = height;

  // The chunks before the first IDAT go as they are (a palette among them).
  std::string before;
  std::vector<unsigned char> rows;  // inflated, as far as they go
  rows.reserve(static_cast<size_t>(raw));
  Inflater inflater(data, &rows);
  // Rows inflated whole, with a valid filter type.
  auto whole = [&] {
    return static_cast<size_t>(std::min(inflater.rows(), inflater.raw() / row));
  };
  bool ended = false;  // the stream, its Adler-32 right, or the input
  auto inflate_from = [&](uint64_t at, uint64_t n) {
    unsigned char buf[kReadBlock];
    while (n > 0) {
      const size_t want =
          static_cast<size_t>(std::min<uint64_t>(n, kReadBlock));
      const size_t take = in.read_some(at, buf, want);  // short at the end
      if (take < want) ended = true;
      if (take == 0) return false;
      const bool going = inflater.feed(buf, take);
      ended = ended || inflater.ended();
      if (!going || inflater.ended()) return false;
      at += take;
      n -= take;
    }
    return true;
  };
  std::optional<size_t> kept;  // rows, once the broken chunk decides them
  uint64_t at = ihdr_tag + 4 + kIhdrTail;
  bool idat = false;
  for (size_t chunks = 0; chunks < kMaxChunks; ++chunks) {
    std::optional<Chunk> c = header_at(&in, at);
    if (!c) break;
    const bool is_idat = c->is(kIdatTag);
    if (!whole_at(&in, at, *c)) {
      if (!in.going()) break;
      // The broken chunk, a sector at a time, noting where each row's bytes
      // came out. Unless the stream ends, its Adler-32 right, or the input
      // does, the break lies in the chunk, and maybe before the last valid
      // row (another file's bytes pass a row's filter type check 5 times
      // in 256): in the sector that row began in, or before. Only the rows
      // that came out before that sector are kept.
      const size_t sure = whole();
      std::vector<std::pair<uint64_t, uint64_t>> out;  // input read, inflated
      const uint64_t end = at + kChunkHeaderSize + c->length;
      for (uint64_t p = at + kChunkHeaderSize; is_idat && p < end;) {
        const uint64_t n = std::min(kSector - p % kSector, end - p);
        const bool going = inflate_from(p, n);
        p += n;
        out.emplace_back(p, inflater.raw());
        if (!going) break;
      }
      if (!in.going()) break;
      auto read_for = [&out](uint64_t bytes) {  // input read to inflate them
        for (const auto& [input, inflated] : out)
          if (inflated >= bytes) return input;
        return out.back().first;
      };
      size_t keep = whole();
      if (!ended && keep > sure) {
        const uint64_t cut =
            (read_for((keep - 1) * row + 1) - 1) / kSector * kSector;
        const size_t valid = keep;
        for (keep = sure; keep < valid && read_for((keep + 1) * row) <= cut;)
          ++keep;
      }
      kept = keep;
      break;
    }
    if (is_idat) {
      idat = true;
      if (!inflate_from(at + kChunkHeaderSize, c->length)) break;
    } else if (idat || c->is(kIendTag)) {
      break;
    } else {
      const size_t from = before.size();
      before.resize(from + kChunkOverhead + c->length);
      if (!in.read(at, reinterpret_cast<unsigned char*>(&before[from]),
                   kChunkOverhead + c->length))
        break;
    }
    at += kChunkOverhead + c->length;
  }
  if (!in.going()) return failed();
  const size_t keep = kept ? *kept : whole();  // rows, from here on
  if (keep == 0) return salvaged;

  // The rows kept, as an image of their own: their data in stored
  // deflate blocks, which need no compressor, only zlib's frame.
  std::string idat_data("\x78\x01", 2);
  const size_t raw_kept = keep * row;
  for (size_t from = 0; from == 0 || from < raw_kept; from += kStoredMax) {
    const size_t n = std::min(kStoredMax, raw_kept - from);
    const bool last = from + n == raw_kept;
    const unsigned char head[5] = {
        static_cast<unsigned char>(last), static_cast<unsigned char>(n),
        static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(~n),
        static_cast<unsigned char>(~n >> 8)};
    idat_data.append(reinterpret_cast<const char*>(head), sizeof head);
    idat_data.append(reinterpret_cast<const char*>(rows.data() + from), n);
  }
  unsigned char adler[4];
  store_be32(adler,
             static_cast<uint32_t>(adler32(adler32(0, nullptr, 0), rows.data(),
                                           static_cast<uInt>(raw_kept))));
  idat_data.append(reinterpret_cast<const char*>(adler), 4);
  store_be32(data + 4, static_cast<uint32_t>(keep));
  auto chunk = [](const unsigned char* type, const std::string& body) {
    std::string out(4, '\0');
    store_be32(reinterpret_cast<unsigned char*>(&out[0]),
               static_cast<uint32_t>(body.size()));
    out.append(reinterpret_cast<const char*>(type), 4);
    out += body;
    uint32_t crc = static_cast<uint32_t>(crc32(0, type, 4));
    crc = static_cast<uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(body.data()),
              static_cast<uInt>(body.size())));
    unsigned char stored[4];
    store_be32(stored, crc);
    return out.append(reinterpret_cast<const char*>(stored), 4);
  };
  salvaged.png.assign(reinterpret_cast<const char*>(kSignature), 8);
  salvaged.png += chunk(
      kIhdrHeader + 4, std::string(reinterpret_cast<char*>(data), sizeof data));
  salvaged.png += before;
  salvaged.png += chunk(kIdatTag, idat_data);
  salvaged.png.append(reinterpret_cast<const char*>(kIendChunk),
                      sizeof kIendChunk);
  salvaged.rows = static_cast<uint32_t>(keep);
  return salvaged;
}

}  // namespace pngcarve
