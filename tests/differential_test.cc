// The real extractor against the plain model, on structured random inputs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "carve_harness.h"
#include "png_builder.h"
#include "reference_model.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

// Compares the two on `count` inputs from `first_seed` on; reports the
// first mismatch with its seed and the smallest input that still differs.
void compare_seeds(uint64_t first_seed, int count) {
  fs::path dir = make_temp_dir();
  std::string path = (dir / "in.bin").string();
  // The extractor alone, then with the images inside others' runs.
  auto diff_of = [&](const std::string& input) {
    const std::string diff =
        difference(real_carve(input, path), model_carve(input, path));
    return diff.empty() ? nested_difference(input, path) : diff;
  };
  auto differs = [&](const std::string& input) {
    return !diff_of(input).empty();
  };
  for (int i = 0; i < count; ++i) {
    uint64_t seed = first_seed + static_cast<uint64_t>(i);
    std::string input = random_input(seed);
    std::string diff = diff_of(input);
    if (!diff.empty()) {
      std::string small = minimize(input, differs);
      ADD_FAILURE() << "seed " << seed << ": " << diff << "\nsmallest input ("
                    << small.size() << " bytes): " << hex(small)
                    << "\nreproduce with PNGCARVE_DIFF_SEED=" << seed;
      break;
    }
  }
  fs::remove_all(dir);
}

TEST(DifferentialTest, FixedSeedsAgreeWithModel) { compare_seeds(1, 2000); }

TEST(DifferentialTest, FreshSeedsAgreeWithModel) {
  // A new range every run, unless PNGCARVE_DIFF_SEED asks for one.
  uint64_t seed = static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  if (const char* s = std::getenv("PNGCARVE_DIFF_SEED"))
    seed = std::strtoull(s, nullptr, 10);
  std::cout << "first seed " << seed << "\n";
  compare_seeds(seed, 3000);
}

TEST(DifferentialTest, ModelAgreesOnKnownCases) {
  // The model itself, on cases whose answer is known by hand.
  Carving c = model_carve("xxIHDR", "a");
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0].first, "a.0000.png");
  EXPECT_EQ(c.images[0].second.size(), 16u);
  EXPECT_EQ(c.console, "\rExtracting: a -> 0\n");
  std::string png = make_png(sized(3, 3, 1));
  c = model_carve(png + png, "b");
  ASSERT_EQ(c.images.size(), 2u);
  EXPECT_EQ(c.images[1].second, carved(png));
}

}  // namespace
