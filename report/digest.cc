#include "digest.h"

namespace pngcarve {

namespace {

std::string hex(const unsigned char* hash, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(2 * size, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kHex[hash[i] >> 4];
    text[2 * i + 1] = kHex[hash[i] & 15];
  }
  return text;
}

}  // namespace

void Digests::start() {
  SHA256Init(&sha256_);
  MD5Init(&md5_);
}

void Digests::push(const unsigned char* data, size_t n) {
  SHA256Update(&sha256_, data, n);
  MD5Update(&md5_, data, n);
}

void Digests::end(std::string* sha256, std::string* md5) {
  unsigned char hash[SHA256_DIGEST_LENGTH];
  SHA256Final(hash, &sha256_);
  *sha256 = hex(hash, SHA256_DIGEST_LENGTH);
  MD5Final(hash, &md5_);
  *md5 = hex(hash, MD5_DIGEST_LENGTH);
}

}  // namespace pngcarve
