// Image data inflated as it comes, each row's filter type checked, for
// following a broken chunk and for salvage: what tells the image's own
// bytes from another file's.
#ifndef PNGCARVE_RECORD_INFLATER_H_
#define PNGCARVE_RECORD_INFLATER_H_

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "check.h"

namespace pngcarve {

// What a clone() costs, in bytes' worth of a Reader's budget: the inflate
// state and its window are copied.
constexpr uint64_t kCloneCost = 4 << 10;

// feed() is false from the first bytes that can't be the image's (an
// inflate error, a filter type past Paeth, data past the last row), and
// stays so. With `keep`, what it inflates is appended there, as far as it
// goes. clone() copies the whole state but `keep`, so that one stream can
// be tried on several continuations. Both throw std::bad_alloc when zlib
// has no memory for its state.
class Inflater {
 public:
  // `ihdr_data`: the image's 13 bytes of IHDR data.
  explicit Inflater(const unsigned char* ihdr_data,
                    std::vector<unsigned char>* keep = nullptr);
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater();

  std::unique_ptr<Inflater> clone() const;

  bool ok() const { return ok_; }
  bool ended() const { return ended_; }    // the stream, its Adler-32 right
  uint64_t rows() const { return rows_; }  // row starts found valid
  uint64_t raw() const { return raw_; }    // bytes inflated

  bool feed(const unsigned char* p, size_t n);

 private:
  explicit Inflater(const std::vector<RowPass>& passes) : passes_(passes) {}

  const std::vector<RowPass> passes_;
  std::vector<unsigned char>* const keep_ = nullptr;
  z_stream z_{};
  bool live_ = false, ok_ = false, ended_ = false;
  size_t pass_ = 0;    // the row to check next: its pass,
  uint64_t row_ = 0;   // its row in the pass,
  uint64_t next_ = 0;  // and its offset in the inflated data
  uint64_t raw_ = 0;   // bytes inflated
  uint64_t rows_ = 0;
};

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_INFLATER_H_
