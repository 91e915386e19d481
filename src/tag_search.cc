#include "tag_search.h"

#include <cstring>

namespace pngcarve {

const unsigned char* find_ihdr(const unsigned char* begin,
                               const unsigned char* end) {
  if (end - begin < 4) return end;
  // Look for the 'H' at offset 1 with memchr, then confirm the whole tag.
  const unsigned char* last = end - 3;  // one past the last possible start
  const unsigned char* p = begin + 1;
  while (p < last + 1) {
    p = static_cast<const unsigned char*>(std::memchr(p, 'H', (last + 1) - p));
    if (p == nullptr) return end;
    if (std::memcmp(p - 1, kIhdrTag, 4) == 0) return p - 1;
    ++p;
  }
  return end;
}

}  // namespace pngcarve
