// Opening files by name, and asking about the console, on any platform.
//
// Paths are byte strings. On POSIX systems they are passed to the system
// unchanged. On Windows they are UTF-8 and opened through the wide-character
// functions, so names outside the active code page work.
#ifndef PNGCARVE_FILE_OPEN_H_
#define PNGCARVE_FILE_OPEN_H_

#include <cstdio>
#include <string>

namespace pngcarve {

// Opens `path` with the stdio `mode` ("rb", "wb"). Returns nullptr on failure.
std::FILE* open_file(const std::string& path, const char* mode);

// Returns true if `file` is open on a directory.
bool is_directory(std::FILE* file);

// Returns true if `file` writes to a terminal or console.
bool is_terminal(std::FILE* file);

}  // namespace pngcarve

#endif  // PNGCARVE_FILE_OPEN_H_
