#include "digest.h"
#include "md5.h"
#include "sha2.h"

namespace pngcarve {

struct Digests::State {
  SHA2_CTX sha256;
  MD5_CTX md5;
};

Digests::Digests() : state_(new State) {}
Digests::~Digests() = default;

void Digests::start() {
  SHA256Init(&state_->sha256);
  MD5Init(&state_->md5);
}

void Digests::push(const unsigned char* data, size_t n) {
  SHA256Update(&state_->sha256, data, n);
  MD5Update(&state_->md5, data, n);
}

bool Digests::end(unsigned char* out) {
  SHA256Final(out, &state_->sha256);
  MD5Final(out + SHA256_DIGEST_LENGTH, &state_->md5);
  return true;
}

// libmd's SHA-1 is not built in: only an EWF image stores one, and the
// builds that open those have libcrypto.
struct Sha1::State {};

Sha1::Sha1() = default;
Sha1::~Sha1() = default;
bool Sha1::start() { return false; }
void Sha1::push(const unsigned char*, size_t) {}
bool Sha1::end(unsigned char*) { return false; }

}  // namespace pngcarve
