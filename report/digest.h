// The hashes of each carved image, SHA-256 and MD5 at once, from libmd
// (built in, on every target): common hash sets still hold MD5.
#ifndef PNGCARVE_REPORT_DIGEST_H_
#define PNGCARVE_REPORT_DIGEST_H_

#include <cstddef>
#include <string>

#include "md5.h"
#include "sha2.h"

namespace pngcarve {

class Digests {
 public:
  // Starts on new bytes.
  void start();
  void push(const unsigned char* data, size_t n);
  // Ends them: their hashes, in lower-case hexadecimal.
  void end(std::string* sha256, std::string* md5);

 private:
  SHA2_CTX sha256_;
  MD5_CTX md5_;
};

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_DIGEST_H_
