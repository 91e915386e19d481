#include "digest.h"

namespace pngcarve {

std::string hex(const unsigned char* bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(2 * n, '0');
  for (size_t i = 0; i < n; ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return text;
}

}  // namespace pngcarve
