// Hashes, from OpenSSL's libcrypto where the build finds it
// (digest_openssl.cc: it uses the processor's SHA instructions, several
// times faster), else from libmd, built in (digest_libmd.cc), on any
// target: static binaries, Windows, the web page's WebAssembly. Each
// carved image gets SHA-256 and MD5 at once (common hash sets still hold
// MD5); an input's own bytes get each alone, on two threads at once (MD5,
// the slowest, on one), and SHA-1 for evidence that stores one (an EWF
// image may), where the build has libcrypto.
#ifndef PNGCARVE_RECORD_DIGEST_H_
#define PNGCARVE_RECORD_DIGEST_H_

#include <cstddef>
#include <memory>

namespace pngcarve {

enum class HashKind { kMd5, kSha1, kSha256 };

// One hash. SHA-1 is made only where the build has libcrypto: elsewhere
// its start() returns false, and nothing is made.
class Hash {
 public:
  explicit Hash(HashKind kind);
  ~Hash();

  // False when it can't be made here, or the library failed.
  bool start();
  void push(const unsigned char* data, size_t n);
  // Its size() bytes at `out`; false when the library failed since start().
  bool end(unsigned char* out);
  size_t size() const {
    return kind_ == HashKind::kMd5 ? 16 : kind_ == HashKind::kSha1 ? 20 : 32;
  }

 private:
  struct State;
  HashKind kind_;
  std::unique_ptr<State> state_;
};

// SHA-256 and MD5 of the same bytes.
class Digests {
 public:
  // Starts on new bytes.
  void start() {
    const bool sha256 = sha256_.start();
    ok_ = md5_.start() && sha256;
  }
  void push(const unsigned char* data, size_t n) {
    sha256_.push(data, n);
    md5_.push(data, n);
  }
  // Ends them: their SHA-256, then their MD5, at `out` (48 bytes). Returns
  // false when the library failed since start() (it can only run out of
  // memory).
  bool end(unsigned char* out) {
    const bool sha256 = sha256_.end(out);
    return md5_.end(out + sha256_.size()) && sha256 && ok_;
  }

 private:
  Hash sha256_{HashKind::kSha256}, md5_{HashKind::kMd5};
  bool ok_ = false;
};

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_DIGEST_H_
