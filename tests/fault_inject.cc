// Test-only LD_PRELOAD library: makes the Nth call of the tool's stdio
// functions (and of read, which it reads its inputs with) fail once, as a
// failing disk, a full disk or a closed pipe would, so that every I/O failure
// path of the real binary can be run.
//
// PNGCARVE_FAULT_AT=N picks the call (counting from 1); with
// PNGCARVE_FAULT_ONLY=FUNCTION, only calls of that function count (pread,
// say, with which pngcarve-report reads an input again to mend it). The failed
// call sets errno (EIO for reads and closes, ENOSPC for writes and flushes,
// EACCES or EMFILE for opens) and the stream's error indicator, as stdio
// does; a failed fclose still closes the stream. The call is described in
// the file PNGCARVE_FAULT_LOG as "<function> <input|output|console> <path>".
// No such file means the run made fewer than N calls. Calls after the tool
// closes standard output (its last act) are not counted, so the coverage
// runtime's own writes at exit are left alone.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

long calls = 0;
bool finished = false;

struct OpenFile {
  FILE* file = nullptr;
  std::string path;
};
OpenFile open_files[8];  // the tool has at most two files open at once

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::string path_of(int fd) {
  for (const OpenFile& o : open_files)
    if (o.file != nullptr && fileno(o.file) == fd) return o.path;
  return "-";
}

const char* kind_of(int fd) {
  if (fd == STDOUT_FILENO) return "console";
  int flags = fcntl(fd, F_GETFL);
  return (flags & O_ACCMODE) == O_RDONLY ? "input" : "output";
}

// Counts a call; returns true when it is the one to fail, after logging it.
bool fails(const char* function, const char* kind, const std::string& path) {
  if (finished) return false;
  const char* only = std::getenv("PNGCARVE_FAULT_ONLY");
  if (only != nullptr && std::string(only) != function) return false;
  const char* at = std::getenv("PNGCARVE_FAULT_AT");
  if (at == nullptr || ++calls != std::atol(at)) return false;
  const char* log = std::getenv("PNGCARVE_FAULT_LOG");
  if (log != nullptr) {
    std::string line = std::string(function) + " " + kind + " " + path + "\n";
    int fd = open(log, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      (void)!write(fd, line.data(), line.size());
      close(fd);
    }
  }
  return true;
}

bool fails(const char* function, int fd) {
  return fails(function, kind_of(fd), path_of(fd));
}

bool fails(const char* function, FILE* f) { return fails(function, fileno(f)); }

// Fails as stdio does: errno and the stream's error indicator.
template <typename T>
T failure(FILE* f, int error, T result) {
  f->_flags |= _IO_ERR_SEEN;
  errno = error;
  return result;
}

int print(FILE* f, const char* format, va_list args) {
  if (fails("fprintf", f)) return failure(f, ENOSPC, -1);
  using Vfprintf = int (*)(FILE*, const char*, va_list);
  return real<Vfprintf>("vfprintf")(f, format, args);
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode) {
  bool reading = mode[0] == 'r';
  if (fails("fopen", reading ? "input" : "output", path)) {
    errno = reading ? EACCES : EMFILE;
    return nullptr;
  }
  FILE* f = real<FILE* (*)(const char*, const char*)>("fopen")(path, mode);
  for (OpenFile& o : open_files) {
    if (o.file == nullptr && f != nullptr) {
      o.file = f;
      o.path = path;
      break;
    }
  }
  return f;
}

int fclose(FILE* f) {
  bool fail = fails("fclose", f);
  if (f == stdout) finished = true;
  for (OpenFile& o : open_files)
    if (o.file == f) o = OpenFile();
  int result = real<int (*)(FILE*)>("fclose")(f);
  if (!fail) return result;
  errno = EIO;
  return EOF;
}

ssize_t read(int fd, void* p, size_t n) {
  if (fails("read", fd)) {
    errno = EIO;
    return -1;
  }
  return real<ssize_t (*)(int, void*, size_t)>("read")(fd, p, n);
}

// Built as the tool is, with 64-bit file offsets, this is pread64.
ssize_t pread(int fd, void* p, size_t n, off_t at) {
  if (fails("pread", fd)) {
    errno = EIO;
    return -1;
  }
  return real<ssize_t (*)(int, void*, size_t, off_t)>("pread")(fd, p, n, at);
}

size_t fread(void* p, size_t size, size_t n, FILE* f) {
  if (fails("fread", f)) return failure(f, EIO, size_t{0});
  return real<size_t (*)(void*, size_t, size_t, FILE*)>("fread")(p, size, n, f);
}

size_t fwrite(const void* p, size_t size, size_t n, FILE* f) {
  if (fails("fwrite", f)) return failure(f, ENOSPC, size_t{0});
  using Fwrite = size_t (*)(const void*, size_t, size_t, FILE*);
  return real<Fwrite>("fwrite")(p, size, n, f);
}

int fflush(FILE* f) {
  if (f != nullptr && fails("fflush", f)) return failure(f, ENOSPC, EOF);
  return real<int (*)(FILE*)>("fflush")(f);
}

int fputc(int c, FILE* f) {
  if (fails("fputc", f)) return failure(f, ENOSPC, EOF);
  return real<int (*)(int, FILE*)>("fputc")(c, f);
}

int fputs(const char* s, FILE* f) {
  if (fails("fputs", f)) return failure(f, ENOSPC, EOF);
  return real<int (*)(const char*, FILE*)>("fputs")(s, f);
}

int fprintf(FILE* f, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = print(f, format, args);
  va_end(args);
  return n;
}

// What fprintf becomes under _FORTIFY_SOURCE.
int __fprintf_chk(FILE* f, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = print(f, format, args);
  va_end(args);
  return n;
}

}  // extern "C"
