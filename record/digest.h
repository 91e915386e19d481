// The hashes of each carved image, SHA-256 and MD5 at once: common hash
// sets still hold MD5. From OpenSSL's libcrypto where the build finds it
// (digest_openssl.cc: it uses the processor's SHA instructions, several
// times faster), else from libmd, built in (digest_libmd.cc), on any
// target: static binaries, Windows, the web page's WebAssembly.
#ifndef PNGCARVE_RECORD_DIGEST_H_
#define PNGCARVE_RECORD_DIGEST_H_

#include <cstddef>
#include <memory>

namespace pngcarve {

class Digests {
 public:
  Digests();
  ~Digests();  // where State is known; state_ keeps it from being copied

  // Starts on new bytes.
  void start();
  void push(const unsigned char* data, size_t n);
  // Ends them: their SHA-256, then their MD5, at `out` (48 bytes). Returns
  // false when the library failed since start() (it can only run out of
  // memory).
  bool end(unsigned char* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One hash alone, for an input's own bytes, whose hashes are made on two
// threads at once (MD5, the slowest, on one); SHA-1 for evidence that
// stores one (an EWF image may), where the build has libcrypto: elsewhere
// its start() returns false, and nothing is made.
enum class HashKind { kMd5, kSha1, kSha256 };

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

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_DIGEST_H_
