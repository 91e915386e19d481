#include "tag_search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The plainest search there is: every offset, four bytes compared.
size_t naive(const std::string& s) {
  for (size_t i = 0; i + 4 <= s.size(); ++i)
    if (std::memcmp(s.data() + i, "IHDR", 4) == 0) return i;
  return s.size();
}

size_t found(const std::string& s) {
  auto* b = reinterpret_cast<const unsigned char*>(s.data());
  return static_cast<size_t>(pngcarve::find_ihdr(b, b + s.size()) - b);
}

TEST(TagSearchTest, AgreesWithNaiveSearchAtEveryOffsetAndPadding) {
  const std::string needles[] = {"IHDR", "IHD",   "IIHDR",  "IHDx", "xHDR",
                                 "ihdr", "IHDIHDR", "HDRIHD", "I",    ""};
  const char pads[] = {'\0', 'I', 'H', 'D', 'R', 'x', '\xff'};
  for (const std::string& needle : needles) {
    for (char pad : pads) {
      for (size_t before = 0; before <= 34; ++before) {
        for (size_t after = 0; after <= 34; ++after) {
          std::string s = std::string(before, pad) + needle + std::string(after, pad);
          ASSERT_EQ(found(s), naive(s))
              << "needle " << needle << " pad " << int(pad) << " " << before
              << "/" << after;
        }
      }
    }
  }
}

TEST(TagSearchTest, FindsFirstOfSeveralAndHandlesLongRuns) {
  std::string s(1000, 'I');
  EXPECT_EQ(found(s), s.size());
  s += "HDR";
  EXPECT_EQ(found(s), 999u);
  std::string many;
  for (int i = 0; i < 300; ++i) many += "IHDx";
  EXPECT_EQ(found(many), many.size());
  EXPECT_EQ(found(many + "IHDR" + many + "IHDR"), many.size());
}

}  // namespace
