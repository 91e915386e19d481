// Paths given as UTF-8, as std::filesystem takes them on every platform,
// and back.
#ifndef PNGCARVE_REPORT_PATHS_H_
#define PNGCARVE_REPORT_PATHS_H_

#include <filesystem>
#include <string>

namespace pngcarve {

inline std::filesystem::path fs_path(const std::string& utf8) {
  return std::u8string(reinterpret_cast<const char8_t*>(utf8.data()),
                       utf8.size());
}

inline std::string utf8_of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

}  // namespace pngcarve

#endif  // PNGCARVE_REPORT_PATHS_H_
