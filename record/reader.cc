#include "reader.h"

namespace pngcarve {

size_t Reader::read_some(uint64_t at, unsigned char* out, size_t n) {
  if (!spend(n)) return 0;
  const size_t got = read_(at, out, n);
  if (got <= n) return got;
  stop_ = Stop::kReadFailed;  // kReadAtError, or more than there is room for
  failed_at_ = at;
  return 0;
}

bool Reader::spend(uint64_t work) {
  if (stop_ != Stop::kNone) return false;
  if (work > left_) {
    stop_ = Stop::kBound;
    left_ = 0;
    return false;
  }
  left_ -= work;
  return true;
}

}  // namespace pngcarve
