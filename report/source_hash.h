// An input's own hashes, of every byte told, in order: MD5 and SHA-256,
// and SHA-1 when asked for (an EWF image may store one). MD5, the slowest
// of them, is made on a thread of its own, from copies of the bytes, while
// the caller's thread makes the others, so that all take about as long as
// MD5 alone. At most kSourceBlocks copies wait for it: past that, push()
// waits. Where the C++ library has no threads, all are made on the
// caller's.
//
//   SourceHash hash;
//   hash.start(false);
//   hash.push(data, n); ...
//   SourceHash::Hex hex = hash.end();
#ifndef PNGCARVE_REPORT_SOURCE_HASH_H_
#define PNGCARVE_REPORT_SOURCE_HASH_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "digest.h"
#include "handoff.h"  // PNGCARVE_HANDOFF_THREAD, and its headers

namespace pngcarve {

constexpr size_t kSourceBlocks = 8;

class SourceHash {
 public:
  // `slow`, when given, is run on the MD5 thread before each block it
  // hashes: for tests that make that side slow on purpose.
  explicit SourceHash(std::function<void()> slow = nullptr);
  ~SourceHash();
  SourceHash(const SourceHash&) = delete;
  SourceHash& operator=(const SourceHash&) = delete;

  // Begins a new input's hashes, with SHA-1 too when `sha1` is set.
  void start(bool sha1);
  void push(const unsigned char* data, size_t n);
  // Each in lower-case hexadecimal, or "" when not made; `ok` is false
  // when a library failed.
  struct Hex {
    std::string md5, sha256, sha1;
    bool ok = true;
  };
  // Waits for the MD5 thread to hash every byte told.
  Hex end();

 private:
  void hash(const unsigned char* data, size_t n);  // the MD5

  Hash md5_{HashKind::kMd5}, sha256_{HashKind::kSha256}, sha1_{HashKind::kSha1};
  bool started_ = false, sha1_on_ = false;
  std::function<void()> slow_;
#if PNGCARVE_HANDOFF_THREAD
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<unsigned char>> blocks_;  // waiting, in order
  std::vector<std::vector<unsigned char>> spare_;  // hashed, kept for reuse
  bool busy_ = false;  // the thread is hashing a block it took
  bool closing_ = false;
  std::thread thread_;
#endif
};

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_SOURCE_HASH_H_
