// libFuzzer target: carves the fuzzer's bytes with the real extractor and
// with the plain model, then with the images inside others' runs carved
// too (each of them the model's image of the input from its tag), and
// stops on the first difference.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "carve_harness.h"
#include "reference_model.h"

namespace {

std::string out_path;  // outputs go to a private folder in memory

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::filesystem::path dir = std::filesystem::exists("/dev/shm")
                                  ? "/dev/shm"
                                  : std::filesystem::temp_directory_path();
  dir /= "pngcarve-fuzz-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  out_path = (dir / "in").string();
  std::atexit([] {
    std::filesystem::remove_all(std::filesystem::path(out_path).parent_path());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string diff =
      testutil::difference(testutil::real_carve(input, out_path),
                           testutil::model_carve(input, out_path));
  if (diff.empty()) diff = testutil::nested_difference(input, out_path);
  if (!diff.empty()) {
    std::fprintf(stderr, "extractor and model differ: %s\n", diff.c_str());
    std::abort();
  }
  return 0;
}
