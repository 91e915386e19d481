#include "check.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "png_extract.h"
#include "stream_copy.h"

namespace pngcarve {

namespace {

constexpr double kMaxSide = 0x7FFFFFFF;
constexpr size_t kOutSize = 64 * 1024;
constexpr unsigned char kAncillaryBit = 0x20;  // of a type's first letter

// Channels for each colour type, and whether it allows a bit depth.
int channels(int type) {
  switch (type) {
    case 0:
    case 3:
      return 1;
    case 4:
      return 2;
    case 2:
      return 3;
    case 6:
      return 4;
    default:
      return 0;
  }
}

bool allowed(int type, int depth) {
  switch (type) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 ||
             depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

}  // namespace

bool sound_fields(const unsigned char* ihdr) {
  return ihdr[10] == 0 && ihdr[11] == 0 && !row_passes(ihdr).empty();
}

bool is_junk(const unsigned char* tail, size_t n) {
  if (n < kIhdrTail) return false;
  const uint32_t crc = crc32(crc32(0, kIhdrHeader + 4, 4), tail, kIhdrDataSize);
  return crc != load_be32(tail + kIhdrDataSize) && !sound_fields(tail);
}

std::vector<RowPass> row_passes(const unsigned char* ihdr) {
  const uint64_t width = load_be32(ihdr), height = load_be32(ihdr + 4);
  const int depth = ihdr[8], type = ihdr[9], interlace = ihdr[12];
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide ||
      interlace > 1 || !allowed(type, depth))
    return {};
  const uint64_t bits = static_cast<uint64_t>(depth * channels(type));
  std::vector<RowPass> passes;
  auto add = [&](uint64_t columns, uint64_t rows) {
    if (columns > 0 && rows > 0)
      passes.push_back({1 + (columns * bits + 7) / 8, rows});
  };
  if (interlace == 0) {
    add(width, height);
    return passes;
  }
  // Adam7's passes: first column and row, then the steps between them.
  static const uint64_t kPasses[7][4] = {
      {0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
      {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  for (const auto& p : kPasses)
    add(width > p[0] ? (width - p[0] + p[2] - 1) / p[2] : 0,
        height > p[1] ? (height - p[1] + p[3] - 1) / p[3] : 0);
  return passes;
}

double raw_size(const unsigned char* ihdr) {
  const std::vector<RowPass> passes = row_passes(ihdr);
  if (passes.empty()) return -1;
  double size = 0;
  for (const RowPass& p : passes)
    size += static_cast<double>(p.size) * static_cast<double>(p.rows);
  return size;
}

int check_code(const char* check) {
  int code = 0;
  while (code + 1 < static_cast<int>(std::size(kCheckNames)) &&
         std::strcmp(kCheckNames[code], check) != 0)
    ++code;
  return code;
}

StructureCheck::StructureCheck() : out_(kOutSize) { inflateInit(&stream_); }

StructureCheck::~StructureCheck() { inflateEnd(&stream_); }

void StructureCheck::start() {
  skip_ = sizeof kSignature;  // the bytes before the first chunk
  walk_.start_chunks();
  crc_have_ = 0;
  crc_ = 0;
  chunks_ = 0;
  ihdr_crc_bad_ = false;
  crc_bad_ = critical_crc_bad_ = critical_ = idat_ = false;
  ihdr_have_ = 0;
  expected_ = -2;
  inflated_ = 0;
  stream_ended_ = stream_failed_ = too_long_ = false;
  inflateReset(&stream_);
}

void StructureCheck::inflate_some(const unsigned char* data, size_t n) {
  if (stream_ended_ || stream_failed_ || too_long_ || n == 0) return;
  if (expected_ == -2) expected_ = raw_size(ihdr_);
  stream_.next_in = const_cast<unsigned char*>(data);
  stream_.avail_in = static_cast<uInt>(n);
  do {
    stream_.next_out = out_.data();
    stream_.avail_out = kOutSize;
    int status = inflate(&stream_, Z_NO_FLUSH);
    inflated_ += kOutSize - stream_.avail_out;
    if (static_cast<double>(inflated_) > std::max(expected_, 0.0))
      too_long_ = true;
    if (status == Z_STREAM_END) {
      stream_ended_ = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      stream_failed_ = true;
    } else if (stream_.avail_out != 0) {
      return;  // it wants more input
    }
  } while (!stream_ended_ && !stream_failed_ && !too_long_);
}

void StructureCheck::push(const unsigned char* data, size_t n) {
  if (skip_ > 0) {
    const size_t passed = static_cast<size_t>(std::min<uint64_t>(skip_, n));
    skip_ -= passed;
    data += passed;
    n -= passed;
  }
  while (n > 0) {
    const unsigned char* at = data;
    const size_t took = walk_.push(data, n);
    data += took;
    n -= took;
    switch (walk_.part()) {
      case ChunkWalk::Part::kHeader:
        if (!walk_.done()) break;
        ++chunks_;
        // The carve takes length + 4 bytes, modulo 2^32, after the header;
        // a length that wraps leaves no room for a CRC.
        if (walk_.wraps()) {
          crc_bad_ = critical_crc_bad_ = true;
          break;
        }
        idat_ = walk_.is(kIdatTag);
        critical_ = (walk_.header()[4] & kAncillaryBit) == 0;
        crc_ = crc32(0, walk_.header() + 4, 4);
        crc_have_ = 0;
        break;
      case ChunkWalk::Part::kData:
        if (walk_.wraps()) break;
        crc_ = crc32(crc_, at, static_cast<uInt>(took));
        if (ihdr_have_ < kIhdrDataSize) {  // the first chunk's: the IHDR's
          const size_t part = std::min(took, kIhdrDataSize - ihdr_have_);
          std::copy(at, at + part, ihdr_ + ihdr_have_);
          ihdr_have_ += part;
        }
        if (idat_) inflate_some(at, took);
        break;
      case ChunkWalk::Part::kCrc:
        std::copy(at, at + took, crc_at_ + crc_have_);
        crc_have_ += took;
        if (walk_.done() && load_be32(crc_at_) != crc_) {
          crc_bad_ = true;
          critical_crc_bad_ = critical_crc_bad_ || critical_;
          ihdr_crc_bad_ = ihdr_crc_bad_ || chunks_ == 1;
        }
        break;
    }
  }
}

const char* StructureCheck::end(bool cut) const {
  if (ihdr_crc_bad_ && ihdr_have_ == kIhdrDataSize && !sound_fields(ihdr_))
    return "junk";
  if (cut || !walk_.between() || skip_ > 0) return "cut";
  if (crc_bad_) return "crc";
  if (too_long_) return "size";
  if (!stream_ended_) return "inflate";
  return static_cast<double>(inflated_) == raw_size(ihdr_) ? "ok" : "size";
}

bool StructureCheck::sound(bool cut) const {
  return !cut && walk_.between() && skip_ == 0 && !critical_crc_bad_ &&
         !too_long_ && stream_ended_ &&
         static_cast<double>(inflated_) == raw_size(ihdr_);
}

}  // namespace pngcarve
