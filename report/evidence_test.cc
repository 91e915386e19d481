#include "evidence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "png_builder.h"
#include "tool_runner.h"

namespace {

using namespace pngcarve;
using testutil::filler;
using testutil::write_file;

TEST(NextSegmentTest, CountsEachSuffixOn) {
  const std::pair<std::string, std::string> cases[] = {
      {"disk.001", "disk.002"}, {"disk.009", "disk.010"},
      {"disk.099", "disk.100"}, {"disk.999", ""},
      {"disk.aa", "disk.ab"},   {"disk.az", "disk.ba"},
      {"disk.zz", ""},          {"a.b/disk", ""},
      {"disk.a1", ""},          {"disk.", ""},
  };
  for (const auto& [name, next] : cases)
    EXPECT_EQ(next_segment(name), next) << name;
}

// Every byte, read forward in pieces of `step` and at offsets across the
// segments' ends.
void expect_reads(Evidence& evidence, const std::string& want, size_t step) {
  std::string got;
  std::vector<char> buf(step);
  long n;
  while ((n = evidence.read(buf.data(), step)) > 0) got.append(buf.data(), n);
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(got == want) << got.size() << " bytes, not " << want.size();
  for (size_t at : {size_t{0}, size_t{999}, size_t{1990}, want.size() - 3}) {
    std::vector<char> out(700);
    const size_t read = evidence.read_at(at, out.data(), out.size());
    ASSERT_EQ(read, std::min(out.size(), want.size() - at)) << at;
    EXPECT_EQ(std::string(out.data(), read), want.substr(at, read)) << at;
  }
}

class SplitTest : public testutil::TempDirTest {};

// Segments of 1000 bytes, the last of 500; where one is missing or short,
// its bytes are zeros and those after it stay at their offsets.
TEST_F(SplitTest, SegmentsJoinInOrderWithWhatIsMissingAsZeros) {
  const std::string media = filler(4500, 3);
  struct Case {
    const char* name;
    std::vector<size_t> sizes;  // of each segment; 0: missing
    const char* fault;          // what the one fault says, or ""
  };
  const Case cases[] = {
      {"whole", {1000, 1000, 1000, 1000, 500}, ""},
      {"a missing one", {1000, 0, 1000, 1000, 500}, "d.002 is missing"},
      {"two missing", {1000, 0, 0, 1000, 500}, "d.002 on are missing"},
      {"a short one", {1000, 1000, 10, 1000, 500}, "d.003 holds 10 bytes"},
      {"the last missing", {1000, 1000, 1000, 1000, 0}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::string want;
    std::string name = (dir_ / "d.001").string();
    for (size_t k = 0; k < c.sizes.size(); ++k, name = next_segment(name)) {
      const size_t size = k + 1 < c.sizes.size() ? 1000 : 500;
      if (c.sizes[k] == 0) {
        if (k + 1 < c.sizes.size()) want += std::string(size, '\0');
        continue;
      }
      const std::string bytes = media.substr(k * 1000, c.sizes[k]);
      write_file(name, bytes);
      want += bytes + std::string(size - c.sizes[k], '\0');
    }
    std::string error;
    std::unique_ptr<Evidence> evidence =
        open_evidence((dir_ / "d.001").string(), &error);
    ASSERT_TRUE(evidence) << error;
    EXPECT_STREQ(evidence->container(), "split raw");
    for (size_t step : {size_t{1} << 16, size_t{333}}) {
      evidence = open_evidence((dir_ / "d.001").string(), &error);
      expect_reads(*evidence, want, step);
    }
    const std::vector<std::string> faults = evidence->faults();
    if (*c.fault == '\0') {
      EXPECT_TRUE(faults.empty()) << faults[0];
    } else {
      ASSERT_EQ(faults.size(), 1u);
      EXPECT_NE(faults[0].find(c.fault), std::string::npos) << faults[0];
    }
  }
}

}  // namespace
