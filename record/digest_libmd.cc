#include "digest.h"
#include "md5.h"
#include "sha2.h"

namespace pngcarve {

// libmd's SHA-1 is not built in: only an EWF image stores one, and the
// builds that open those have libcrypto.
struct Hash::State {
  SHA2_CTX sha256;
  MD5_CTX md5;
};

Hash::Hash(HashKind kind) : kind_(kind), state_(new State) {}
Hash::~Hash() = default;

bool Hash::start() {
  if (kind_ == HashKind::kMd5) MD5Init(&state_->md5);
  if (kind_ == HashKind::kSha256) SHA256Init(&state_->sha256);
  return kind_ != HashKind::kSha1;
}

void Hash::push(const unsigned char* data, size_t n) {
  if (kind_ == HashKind::kMd5) MD5Update(&state_->md5, data, n);
  if (kind_ == HashKind::kSha256) SHA256Update(&state_->sha256, data, n);
}

bool Hash::end(unsigned char* out) {
  if (kind_ == HashKind::kMd5) MD5Final(out, &state_->md5);
  if (kind_ == HashKind::kSha256) SHA256Final(out, &state_->sha256);
  return kind_ != HashKind::kSha1;
}

}  // namespace pngcarve
