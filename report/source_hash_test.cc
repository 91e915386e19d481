#include "source_hash.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "png_builder.h"
#include "record.h"

namespace pngcarve {
namespace {

std::string one_pass(HashKind kind, const std::string& bytes) {
  Hash hash(kind);
  unsigned char out[32];
  if (!hash.start()) return "";
  hash.push(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  EXPECT_TRUE(hash.end(out));
  return hex(out, hash.size());
}

// The hashes of two inputs in a row, in pieces of many sizes, are one
// pass's, whether the MD5 thread is slow (the blocks wait for it, and
// push() for room) or the bytes come slowly (end() finds it idle or busy).
TEST(SourceHash, IsOnePassWhicheverSideIsSlow) {
  const std::string bytes = testutil::filler(3 << 20, 5);
  for (bool slow_md5 : {true, false}) {
    SCOPED_TRACE(slow_md5 ? "slow MD5" : "slow bytes");
    SourceHash hash(
        slow_md5
            ? [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); }
            : std::function<void()>());
    for (int input = 0; input < 2; ++input) {
      const std::string part = bytes.substr(input * 1000);
      hash.start(input == 1);
      size_t step = 1;
      for (size_t at = 0; at < part.size();
           at += step, step = step * 7 % 70001) {
        step = std::min(step, part.size() - at);
        hash.push(reinterpret_cast<const unsigned char*>(part.data() + at),
                  step);
        if (!slow_md5 && at % 5 == 0)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      const SourceHash::Hex hex = hash.end();
      EXPECT_TRUE(hex.ok);
      EXPECT_EQ(hex.md5, one_pass(HashKind::kMd5, part));
      EXPECT_EQ(hex.sha256, one_pass(HashKind::kSha256, part));
      EXPECT_EQ(hex.sha1, input == 1 ? one_pass(HashKind::kSha1, part) : "");
    }
  }
}

}  // namespace
}  // namespace pngcarve
