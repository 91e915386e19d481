#include <openssl/evp.h>

#include "digest.h"

namespace pngcarve {

struct Hash::State {
  bool ok = false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(ctx); }
};

Hash::Hash(HashKind kind) : kind_(kind), state_(new State) {}
Hash::~Hash() = default;

// The hashes are looked up once: looking them up at each start, as
// EVP_sha256() has libcrypto 3 do, took most of the time of a record of
// many small images.
bool Hash::start() {
  static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  static EVP_MD* const sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  const EVP_MD* md = kind_ == HashKind::kMd5    ? md5
                     : kind_ == HashKind::kSha1 ? sha1
                                                : sha256;
  State& s = *state_;
  s.ok = s.ctx != nullptr && md != nullptr &&
         EVP_DigestInit_ex2(s.ctx, md, nullptr) == 1;
  return s.ok;
}

void Hash::push(const unsigned char* data, size_t n) {
  State& s = *state_;
  s.ok = s.ok && EVP_DigestUpdate(s.ctx, data, n) == 1;
}

bool Hash::end(unsigned char* out) {
  unsigned int size = 0;
  return state_->ok && EVP_DigestFinal_ex(state_->ctx, out, &size) == 1;
}

}  // namespace pngcarve
