#include "digest.h"

#include <openssl/evp.h>

namespace pngcarve {

namespace {

bool finish(EVP_MD_CTX* ctx, std::string* text) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx, hash, &size) != 1) return false;
  static const char kHex[] = "0123456789abcdef";
  char hex[2 * EVP_MAX_MD_SIZE];
  for (unsigned int i = 0; i < size; ++i) {
    hex[2 * i] = kHex[hash[i] >> 4];
    hex[2 * i + 1] = kHex[hash[i] & 15];
  }
  text->assign(hex, 2 * size);
  return true;
}

}  // namespace

Digests::Digests() : sha256_(EVP_MD_CTX_new()), md5_(EVP_MD_CTX_new()) {}

Digests::~Digests() {
  EVP_MD_CTX_free(sha256_);
  EVP_MD_CTX_free(md5_);
}

// The hashes are looked up once: looking them up at each start, as
// EVP_sha256() has libcrypto 3 do, took most of the time of a record of
// many small images.
void Digests::start() {
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  ok_ = sha256_ != nullptr && md5_ != nullptr && sha256 != nullptr &&
        md5 != nullptr && EVP_DigestInit_ex2(sha256_, sha256, nullptr) == 1 &&
        EVP_DigestInit_ex2(md5_, md5, nullptr) == 1;
}

void Digests::push(const unsigned char* data, size_t n) {
  ok_ = ok_ && EVP_DigestUpdate(sha256_, data, n) == 1 &&
        EVP_DigestUpdate(md5_, data, n) == 1;
}

bool Digests::end(std::string* sha256, std::string* md5) {
  sha256->clear();
  md5->clear();
  return ok_ && finish(sha256_, sha256) && finish(md5_, md5);
}

}  // namespace pngcarve
