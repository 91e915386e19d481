// Files by their names: paths given as UTF-8, as std::filesystem takes them
// on every platform, and back; and a whole file written at once.
#ifndef PNGCARVE_REPORT_PATHS_H_
#define PNGCARVE_REPORT_PATHS_H_

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform.h"

namespace pngcarve {

inline std::filesystem::path fs_path(const std::string& utf8) {
  return std::u8string(reinterpret_cast<const char8_t*>(utf8.data()),
                       utf8.size());
}

inline std::string utf8_of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// Writes `bytes` to a new file `name`; false when it could not be made,
// written or closed whole.
inline bool write_file(const std::string& name, const std::string& bytes) {
  std::FILE* out = open_file(name, "wb");
  if (out == nullptr) return false;
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && written;
}

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_PATHS_H_
