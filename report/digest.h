// The hashes of each carved image, SHA-256 and MD5 at once, from OpenSSL's
// libcrypto: common hash sets still hold MD5.
#ifndef PNGCARVE_REPORT_DIGEST_H_
#define PNGCARVE_REPORT_DIGEST_H_

#include <cstddef>
#include <string>

struct evp_md_ctx_st;

namespace pngcarve {

class Digests {
 public:
  Digests();
  ~Digests();
  Digests(const Digests&) = delete;
  Digests& operator=(const Digests&) = delete;

  // Starts on new bytes.
  void start();
  void push(const unsigned char* data, size_t n);
  // Ends them: their hashes, in lower-case hexadecimal. Returns false when
  // libcrypto failed (out of memory) since start().
  bool end(std::string* sha256, std::string* md5);

 private:
  bool ok_ = true;
  evp_md_ctx_st* sha256_;
  evp_md_ctx_st* md5_;
};

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_DIGEST_H_
