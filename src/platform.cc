#include "platform.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>

#include <cstdlib>
#else
#include <unistd.h>
#endif

namespace pngcarve {

#ifdef _WIN32

namespace {

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(),
                              static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                      wide.data(), n);
  return wide;
}

std::string narrow(const wchar_t* wide) {
  int n =
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string utf8(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), n, nullptr, nullptr);
  utf8.pop_back();  // the terminating null
  return utf8;
}

UINT saved_output_cp = 0;

}  // namespace

std::vector<std::string> utf8_arguments(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(narrow(argv[i]));
  return args;
}

void use_utf8_console() {
  if (!is_terminal(stdout)) return;
  saved_output_cp = GetConsoleOutputCP();
  if (saved_output_cp == 0 || !SetConsoleOutputCP(CP_UTF8)) return;
  // main has flushed and closed stdout by the time this runs.
  std::atexit([] { SetConsoleOutputCP(saved_output_cp); });
}

std::FILE* open_file(const std::string& path, const char* mode) {
  std::wstring wmode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(widen(path).c_str(), wmode.c_str());
}

bool is_directory(std::FILE* file) {
  struct _stat64 st;
  return _fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFDIR) != 0;
}

bool is_terminal(std::FILE* file) { return _isatty(_fileno(file)) != 0; }

bool can_read_at(std::FILE* file) {
  struct _stat64 st;
  return _fstat64(_fileno(file), &st) == 0 && (st.st_mode & _S_IFREG) != 0;
}

size_t read_at(std::FILE* file, uint64_t offset, void* buf, size_t n) {
  // ReadFile at an offset of its own, as pread: reads on two threads at
  // once don't share a file position.
  const HANDLE handle =
      reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) return kReadError;
  size_t got = 0;
  while (got < n) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    DWORD r = 0;
    if (!ReadFile(handle, static_cast<char*>(buf) + got,
                  static_cast<DWORD>(std::min<size_t>(n - got, 1u << 30)), &r,
                  &at))
      return GetLastError() == ERROR_HANDLE_EOF ? got : kReadError;
    if (r == 0) break;
    got += r;
  }
  return got;
}

long read_some(std::FILE* file, void* buf, size_t n) {
  return _read(_fileno(file), buf, static_cast<unsigned>(n));
}

#else

std::FILE* open_file(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool is_directory(std::FILE* file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_terminal(std::FILE* file) { return isatty(fileno(file)) != 0; }

bool can_read_at(std::FILE* file) {
  struct stat st;
  return fileno(file) >= 0 && fstat(fileno(file), &st) == 0 &&
         (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

size_t read_at(std::FILE* file, uint64_t offset, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = pread(fileno(file), static_cast<char*>(buf) + got,
                            n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return kReadError;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

long read_some(std::FILE* file, void* buf, size_t n) {
  int fd = fileno(file);
  if (fd < 0) {
    size_t got = std::fread(buf, 1, n, file);
    return got == 0 && std::ferror(file) ? -1 : static_cast<long>(got);
  }
  return static_cast<long>(read(fd, buf, n));
}

#endif

}  // namespace pngcarve
