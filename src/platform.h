// What differs between platforms: opening files by name, the console, and
// (on Windows) the command-line arguments.
//
// Paths are byte strings. On POSIX systems they are passed to the system
// unchanged. On Windows they are UTF-8, made from the UTF-16 arguments and
// opened through the wide-character functions, so names outside the active
// code page work. (The web page, which has no files of its own, builds its
// own platform.cc in place of this one's.)
#ifndef PNGCARVE_PLATFORM_H_
#define PNGCARVE_PLATFORM_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pngcarve {

// Opens `path` with the stdio `mode` ("rb", "wb"). Returns nullptr on failure.
std::FILE* open_file(const std::string& path, const char* mode);

// Reads up to `n` bytes of `file` into `buf`, returning as soon as some
// are there, so that a pipe's data is carved as it arrives rather than when
// a whole buffer is full. Returns the number read, 0 at the end of the
// input, or -1 on a read error. The file's descriptor is read directly; a
// stream with none (a memory stream) is read through stdio.
// REQUIRES: nothing has been read from `file` through stdio yet, and
// n < 2^31.
long read_some(std::FILE* file, void* buf, size_t n);

// Returns true if `file` is open on a directory.
bool is_directory(std::FILE* file);

// Returns true if `file` can be read again at any offset: a regular file
// or a block device, not a pipe or terminal.
bool can_read_at(std::FILE* file);

// What read_at() returns when the read failed.
constexpr size_t kReadError = SIZE_MAX;

// Reads up to `n` bytes of `file` at `offset` into `buf`, whatever has been
// read before; reads on several threads at once are safe. Returns the
// number read, fewer only at the end of the input, or kReadError.
// REQUIRES: can_read_at(file).
size_t read_at(std::FILE* file, uint64_t offset, void* buf, size_t n);

// Returns true if `file` writes to a terminal or console.
bool is_terminal(std::FILE* file);

#ifdef _WIN32
// Returns the arguments after the program name, as UTF-8.
std::vector<std::string> utf8_arguments(int argc, wchar_t** argv);

// When standard output is a console, switches it to UTF-8 until the process
// ends, so names outside the active code page show correctly. Output to a
// file or pipe is left alone: it gets the UTF-8 bytes as they are.
void use_utf8_console();
#endif

}  // namespace pngcarve

#endif  // PNGCARVE_PLATFORM_H_
