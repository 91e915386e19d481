// The input read again at will, for mending: every read checked, and all
// of them together held to a budget, so that no input, whatever its bytes,
// makes mending search without end. The first failed read, or the budget
// spent, stops every read after it, and says which.
#ifndef PNGCARVE_RECORD_READER_H_
#define PNGCARVE_RECORD_READER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace pngcarve {

// What a ReadAt returns when the read failed.
constexpr size_t kReadAtError = SIZE_MAX;

// Reads up to `n` bytes of the input at `offset` into `out`; returns how
// many it read, fewer only at the input's end, or kReadAtError.
using ReadAt =
    std::function<size_t(uint64_t offset, unsigned char* out, size_t n)>;

// Why a search stopped short of its end.
enum class Stop {
  kNone,
  kBound,       // its budget was spent
  kReadFailed,  // a read of the input failed
};

// Mending reads a few bytes at a time in many places, so a Reader keeps
// the last kCacheBlocks aligned blocks of kCacheBlock bytes it read; a
// read of a block or more goes straight to the input.
constexpr size_t kCacheBlock = 16 << 10;
constexpr size_t kCacheBlocks = 16;

class Reader {
 public:
  // `budget`: the bytes it may read, and the work it may be charged, in
  // all.
  Reader(const ReadAt& read, uint64_t budget) : read_(read), left_(budget) {}

  // Whether all `n` bytes at `at` were read into `out`: false past the
  // input's end, and once stopped.
  bool read(uint64_t at, unsigned char* out, size_t n) {
    return read_some(at, out, n) == n;
  }
  // Up to `n` bytes at `at`: fewer only past the input's end; none once
  // stopped.
  size_t read_some(uint64_t at, unsigned char* out, size_t n);
  // Charges `work` that is no read, in bytes' worth; false once stopped.
  bool spend(uint64_t work);

  bool going() const { return stop_ == Stop::kNone; }
  Stop stopped() const { return stop_; }
  // Where the read that failed began.
  uint64_t failed_at() const { return failed_at_; }

 private:
  struct Block {
    uint64_t at = UINT64_MAX;  // none yet
    size_t size = 0;           // fewer than kCacheBlock at the input's end
    uint64_t used = 0;         // when last read, to evict the oldest
    std::unique_ptr<unsigned char[]> bytes;
  };
  // The block at `at`, a multiple of kCacheBlock; null once stopped.
  const Block* block(uint64_t at);
  size_t fetch(uint64_t at, unsigned char* out, size_t n);

  const ReadAt& read_;
  std::vector<Block> blocks_;
  uint64_t clock_ = 0;
  uint64_t end_ = UINT64_MAX;  // the input's, once a read has come to it
  uint64_t left_;
  Stop stop_ = Stop::kNone;
  uint64_t failed_at_ = 0;
};

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_READER_H_
