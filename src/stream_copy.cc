#include "stream_copy.h"

#include <bit>
#include <cstring>
#include <utility>

#include "platform.h"

namespace pngcarve {

void input_open(Input& in, std::FILE* file) {
  in.file = file;
  in.read = nullptr;
  in.buf.resize(kInputBufferSize);
  in.pos = 0;
  in.end = 0;
  in.base = 0;
  in.exhausted = false;
  in.failed = false;
  in.seen = nullptr;
  in.gone = nullptr;
  in.told = 0;
}

void input_open(Input& in, ReadSome read) {
  input_open(in, nullptr);
  in.read = std::move(read);
}

void input_tell(Input& in) {
  if (in.gone && in.pos > in.told)
    in.gone(in.buf.data() + in.told, in.pos - in.told);
  in.told = in.pos;
}

size_t input_fill(Input& in, size_t want) {
  if (want > kInputBufferSize) want = kInputBufferSize;
  size_t have = in.end - in.pos;
  if (have >= want || in.exhausted) return have;
  if (in.pos != 0) {
    input_tell(in);
    in.told = 0;
    std::memmove(in.buf.data(), in.buf.data() + in.pos, have);
    in.base += in.pos;
    in.pos = 0;
    in.end = have;
  }
  while (in.end - in.pos < want) {
    unsigned char* at = in.buf.data() + in.end;
    const size_t room = kInputBufferSize - in.end;
    long got = in.read ? in.read(at, room) : read_some(in.file, at, room);
    if (got <= 0) {  // the end, or a read error: nothing more is read
      in.exhausted = true;
      in.failed = got < 0;
      break;
    }
    if (in.seen) in.seen(in.buf.data() + in.end, static_cast<size_t>(got));
    in.end += static_cast<size_t>(got);
  }
  return in.end - in.pos;
}

size_t input_read(Input& in, void* dst, size_t n) {
  auto* out = static_cast<unsigned char*>(dst);
  size_t done = 0;
  while (done < n) {
    size_t have = input_fill(in, 1);
    if (have == 0) break;
    size_t take = have < n - done ? have : n - done;
    std::memcpy(out + done, in.buf.data() + in.pos, take);
    in.pos += take;
    done += take;
  }
  return done;
}

uint32_t min(uint32_t a, uint32_t b) { return b <= a ? b : a; }

uint32_t swap_endian(uint32_t x) {
  return (x << 24) | ((x << 8) & 0x00FF0000u) | ((x >> 8) & 0x0000FF00u) |
         (x >> 24);
}

uint32_t load_be32(const unsigned char* p) {
  uint32_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::little)
    word = swap_endian(word);
  return word;
}

bool fcopy(std::FILE* dst, Input& src, uint32_t count, const Tap& tap) {
  uint32_t remaining = count;
  while (remaining > 0) {
    size_t have = input_fill(src, 1);
    if (have == 0) return true;  // the source ran out: stop quietly
    uint32_t take = min(remaining, static_cast<uint32_t>(have));
    const unsigned char* data = src.buf.data() + src.pos;
    if (tap) tap(data, take);
    if (dst != nullptr && std::fwrite(data, 1, take, dst) != take) return false;
    src.pos += take;
    remaining -= take;
  }
  return true;
}

}  // namespace pngcarve
