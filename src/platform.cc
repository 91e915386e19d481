#include "platform.h"

#include <sys/stat.h>

#include <cstdint>

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
#ifdef __EMSCRIPTEN__
#include <emscripten/emscripten.h>
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

long read_some(std::FILE* file, void* buf, size_t n) {
  return _read(_fileno(file), buf, static_cast<unsigned>(n));
}

#else

#ifdef __EMSCRIPTEN__
// In the web page, the input is a File that the worker reads as a stream,
// which a browser offers only asynchronously: the call waits for the
// worker's readInput (the extractor is suspended meanwhile, by Asyncify).
// What has come already is taken at once, without suspending.
EM_JS(long, web_read, (void* buf, size_t n), {
  if (Asyncify.state === Asyncify.State.Normal) {
    const count = Module.readNow(buf, n);
    if (count !== null) return count;
  }
  return Asyncify.handleAsync(() => Module.readInput(buf, n));
});

// Outputs go to the worker as they are written, a piece at a time, rather
// than into the in-memory file system: an image of any size then never sits
// whole in the worker, and a finished one is known at once by its close.
EM_JS(int, web_open_output, (const char* name, size_t length),
      { return Module.openOutput(name, length); });
EM_JS(int, web_write_output, (int id, const void* data, size_t n),
      { return Module.writeOutput(id, data, n); });
EM_JS(int, web_close_output, (int id), { return Module.closeOutput(id); });

namespace {

int output_id(void* cookie) {
  return static_cast<int>(reinterpret_cast<intptr_t>(cookie));
}

ssize_t write_output(void* cookie, const char* data, size_t n) {
  return web_write_output(output_id(cookie), data, n) ? static_cast<ssize_t>(n)
                                                      : -1;
}

int close_output(void* cookie) { return web_close_output(output_id(cookie)); }

}  // namespace
#endif

std::FILE* open_file(const std::string& path, const char* mode) {
#ifdef __EMSCRIPTEN__
  if (mode[0] == 'w') {
    int id = web_open_output(path.data(), path.size());
    if (id < 0) return nullptr;
    cookie_io_functions_t io = {nullptr, write_output, nullptr, close_output};
    return fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(id)), mode,
                       io);
  }
#endif
  return std::fopen(path.c_str(), mode);
}

bool is_directory(std::FILE* file) {
  struct stat st;
  return fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_terminal(std::FILE* file) { return isatty(fileno(file)) != 0; }

long read_some(std::FILE* file, void* buf, size_t n) {
#ifdef __EMSCRIPTEN__
  (void)file;
  return web_read(buf, n);
#else
  int fd = fileno(file);
  if (fd < 0) {
    size_t got = std::fread(buf, 1, n, file);
    return got == 0 && std::ferror(file) ? -1 : static_cast<long>(got);
  }
  return static_cast<long>(read(fd, buf, n));
#endif
}

#endif

}  // namespace pngcarve
