#include <openssl/evp.h>

#include "digest.h"

namespace pngcarve {

namespace {

bool finish(EVP_MD_CTX* ctx, unsigned char* out) {
  unsigned int size = 0;
  return EVP_DigestFinal_ex(ctx, out, &size) == 1;
}

}  // namespace

struct Digests::State {
  bool ok = false;
  EVP_MD_CTX* sha256 = EVP_MD_CTX_new();
  EVP_MD_CTX* md5 = EVP_MD_CTX_new();
  ~State() {
    EVP_MD_CTX_free(sha256);
    EVP_MD_CTX_free(md5);
  }
};

Digests::Digests() : state_(new State) {}
Digests::~Digests() = default;

// The hashes are looked up once: looking them up at each start, as
// EVP_sha256() has libcrypto 3 do, took most of the time of a record of
// many small images.
void Digests::start() {
  static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  static EVP_MD* const md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  State& s = *state_;
  s.ok = s.sha256 != nullptr && s.md5 != nullptr && sha256 != nullptr &&
         md5 != nullptr && EVP_DigestInit_ex2(s.sha256, sha256, nullptr) == 1 &&
         EVP_DigestInit_ex2(s.md5, md5, nullptr) == 1;
}

void Digests::push(const unsigned char* data, size_t n) {
  State& s = *state_;
  s.ok = s.ok && EVP_DigestUpdate(s.sha256, data, n) == 1 &&
         EVP_DigestUpdate(s.md5, data, n) == 1;
}

bool Digests::end(unsigned char* out) {
  State& s = *state_;
  return s.ok && finish(s.sha256, out) && finish(s.md5, out + 32);
}

struct Hash::State {
  bool ok = false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(ctx); }
};

Hash::Hash(HashKind kind) : kind_(kind), state_(new State) {}
Hash::~Hash() = default;

bool Hash::start() {
  const EVP_MD* md = kind_ == HashKind::kMd5    ? EVP_md5()
                     : kind_ == HashKind::kSha1 ? EVP_sha1()
                                                : EVP_sha256();
  State& s = *state_;
  s.ok = s.ctx != nullptr && EVP_DigestInit_ex2(s.ctx, md, nullptr) == 1;
  return s.ok;
}

void Hash::push(const unsigned char* data, size_t n) {
  State& s = *state_;
  s.ok = s.ok && EVP_DigestUpdate(s.ctx, data, n) == 1;
}

bool Hash::end(unsigned char* out) {
  return state_->ok && finish(state_->ctx, out);
}

}  // namespace pngcarve
