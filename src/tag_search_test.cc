#include "tag_search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Search = const unsigned char* (*)(const unsigned char*,
                                        const unsigned char*,
                                        const unsigned char*,
                                        const unsigned char*);

struct Impl {
  const char* name;
  Search search;
};

std::vector<Impl> implementations() {
  std::vector<Impl> v{{"scalar", pngcarve::find_tag_scalar},
                      {"dispatch", pngcarve::find_tag}};
#ifdef PNGCARVE_HAVE_SSE2
  v.push_back({"sse2", pngcarve::find_tag_sse2});
#endif
#ifdef PNGCARVE_HAVE_AVX2
  if (pngcarve::avx2_supported())
    v.push_back({"avx2", pngcarve::find_tag_avx2});
#endif
  return v;
}

// The plainest search there is: every offset, four bytes compared.
size_t naive(const std::string& s, const char* tag = "IHDR",
             const char* other = nullptr) {
  for (size_t i = 0; i + 4 <= s.size(); ++i)
    if (std::memcmp(s.data() + i, tag, 4) == 0 ||
        (other && std::memcmp(s.data() + i, other, 4) == 0))
      return i;
  return s.size();
}

// Runs `impl` on `s` placed at `shift` bytes past a 64-byte boundary, so
// every alignment of the vector loads is taken.
size_t found(const Impl& impl, const std::string& s, size_t shift = 0,
             const char* tag = "IHDR", const char* other = nullptr) {
  alignas(64) static unsigned char buf[1 << 16];
  unsigned char* b = buf + shift;
  std::memcpy(b, s.data(), s.size());
  auto bytes = [](const char* t) {
    return reinterpret_cast<const unsigned char*>(t);
  };
  return static_cast<size_t>(
      impl.search(b, b + s.size(), bytes(tag), other ? bytes(other) : nullptr) -
      b);
}

TEST(TagSearchTest, AgreesWithNaiveSearchAtEveryOffsetAndPadding) {
  const std::string needles[] = {"IHDR", "IHD",  "IIHDR",   "IHDx",
                                 "xHDR", "ihdr", "IHDIHDR", "HDRIHD",
                                 "IxxR", "I",    "R",       ""};
  const char pads[] = {'\0', 'I', 'R', 'x', '\xff'};
  for (const Impl& impl : implementations()) {
    for (const std::string& needle : needles) {
      for (char pad : pads) {
        for (size_t before = 0; before <= 34; ++before) {
          for (size_t after = 0; after <= 34; ++after) {
            std::string s =
                std::string(before, pad) + needle + std::string(after, pad);
            ASSERT_EQ(found(impl, s, before % 7), naive(s))
                << impl.name << " needle " << needle << " pad " << int(pad)
                << " " << before << "/" << after;
          }
        }
      }
    }
  }
}

// IHDR alone, and IDAT or IEND (the tags mending looks for) at once.
TEST(TagSearchTest, AgreesWithNaiveSearchOnLongerMixedInputs) {
  std::mt19937 rng(7);
  const std::string alphabets[] = {"IHDRx", "IDATENx"};
  for (int round = 0; round < 6000; ++round) {
    const std::string& alphabet = alphabets[round % 2];
    const char* tag = round % 2 ? "IDAT" : "IHDR";
    const char* other = round % 2 ? "IEND" : nullptr;
    std::string s(rng() % 300, 'x');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    size_t shift = rng() % 64;
    for (const Impl& impl : implementations())
      ASSERT_EQ(found(impl, s, shift, tag, other), naive(s, tag, other))
          << impl.name << " " << round;
  }
}

TEST(TagSearchTest, AdversarialRunsHaveNoFalseHits) {
  for (const Impl& impl : implementations()) {
    std::string s(5000, 'I');
    EXPECT_EQ(found(impl, s), s.size()) << impl.name;
    EXPECT_EQ(found(impl, s + "HDR"), s.size() - 1) << impl.name;
    std::string near;
    for (int i = 0; i < 1000; ++i) near += i % 2 ? "IHDx" : "IxxR";
    EXPECT_EQ(found(impl, near), near.size()) << impl.name;
    EXPECT_EQ(found(impl, near + "IHDR" + near + "IHDR"), near.size())
        << impl.name;
  }
}

}  // namespace
