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

// SHA-1, for evidence that stores one (an EWF image may), where the build
// has libcrypto; elsewhere start() returns false, and nothing is made.
class Sha1 {
 public:
  Sha1();
  ~Sha1();

  bool start();
  void push(const unsigned char* data, size_t n);
  // Its 20 bytes at `out`; false when the library failed since start().
  bool end(unsigned char* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace pngcarve

#endif  // PNGCARVE_RECORD_DIGEST_H_
