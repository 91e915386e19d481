#include "evidence.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "paths.h"
#include "platform.h"
#include "record.h"

#if PNGCARVE_HAVE_EWF
#include <libewf.h>

#include <mutex>
#endif

namespace pngcarve {

namespace {

// The first bytes of an EWF segment file: EWF (E01) and EWF2 (Ex01).
constexpr unsigned char kEwfSignature[8] = {'E',  'V',  'F',  0x09,
                                            0x0D, 0x0A, 0xFF, 0x00};
constexpr unsigned char kEwf2Signature[8] = {'E',  'V',  'F',  '2',
                                             0x0D, 0x0A, 0x81, 0x00};

class File : public Evidence {
 public:
  File(const std::string& path, std::FILE* file) : file_(file) {
    segments_.push_back(path);
  }
  ~File() override { std::fclose(file_); }

  const char* container() const override { return "raw"; }
  long read(void* buf, size_t n) override { return read_some(file_, buf, n); }
  bool can_read_at() const override { return pngcarve::can_read_at(file_); }
  size_t read_at(uint64_t offset, void* buf, size_t n) override {
    return pngcarve::read_at(file_, offset, buf, n);
  }

 private:
  std::FILE* file_;
};

// A split raw image's segments, each where the ones before it end. Where
// one is missing, or shorter than the others though more follow, the
// bytes it lacks are zeros, so that those after it are carved at their
// offsets; faults() names it.
class Split : public Evidence {
 public:
  struct Part {
    std::FILE* file = nullptr;  // none: zeros
    uint64_t start = 0;         // in the media
    uint64_t size = 0;
  };

  Split(std::vector<std::string> names, std::vector<Part> parts,
        std::vector<std::string> faults)
      : parts_(std::move(parts)), faults_(std::move(faults)) {
    segments_ = std::move(names);
  }
  ~Split() override {
    for (const Part& part : parts_)
      if (part.file != nullptr) std::fclose(part.file);
  }

  const char* container() const override { return "split raw"; }
  long read(void* buf, size_t n) override {
    for (; now_ < parts_.size(); ++now_, done_ = 0) {
      const Part& part = parts_[now_];
      if (part.file == nullptr) {
        if (done_ == part.size) continue;
        const size_t zeros = static_cast<size_t>(
            std::min<uint64_t>({n, part.size - done_, 1 << 30}));
        std::memset(buf, 0, zeros);
        done_ += zeros;
        return static_cast<long>(zeros);
      }
      const long got = read_some(part.file, buf, n);
      if (got != 0) return got;
    }
    return 0;
  }
  bool can_read_at() const override {
    return std::all_of(parts_.begin(), parts_.end(), [](const Part& part) {
      return part.file == nullptr || pngcarve::can_read_at(part.file);
    });
  }
  size_t read_at(uint64_t offset, void* buf, size_t n) override {
    auto* out = static_cast<unsigned char*>(buf);
    size_t done = 0;
    // The last part that starts at or before the offset.
    auto part = std::upper_bound(
        parts_.begin(), parts_.end(), offset,
        [](uint64_t at, const Part& p) { return at < p.start; });
    if (part == parts_.begin()) return 0;
    for (--part; done < n && part != parts_.end(); ++part) {
      const uint64_t at = offset + done;
      if (at >= part->start + part->size) continue;
      const size_t want = static_cast<size_t>(
          std::min<uint64_t>(n - done, part->start + part->size - at));
      size_t got = want;
      if (part->file == nullptr)
        std::memset(out + done, 0, want);
      else
        got = pngcarve::read_at(part->file, at - part->start, out + done, want);
      if (got == kReadError) return SIZE_MAX;
      done += got;
      if (got < want) break;  // the segment is shorter than it was
    }
    return done;
  }
  std::vector<std::string> faults() override { return faults_; }

 private:
  std::vector<Part> parts_;
  std::vector<std::string> faults_;
  size_t now_ = 0;     // the part read() reads
  uint64_t done_ = 0;  // of a part of zeros, by read()
};

bool exists(const std::string& name) {
  std::error_code error;
  return std::filesystem::exists(fs_path(name), error);
}

// Opens the segments of the split raw image that begins at `first`, whose
// size is `size`, and whose next segment `second` is there.
std::unique_ptr<Evidence> open_split(const std::string& first,
                                     std::FILE* first_file, uint64_t size,
                                     const std::string& second) {
  std::vector<std::string> names{first};
  std::vector<Split::Part> parts{{first_file, 0, size}};
  std::vector<std::string> faults;
  uint64_t at = size;  // where the next segment begins
  auto zeros = [&](uint64_t n) {
    parts.push_back({nullptr, at, n});
    at += n;
  };
  std::string name = second;
  for (;;) {
    if (!exists(name)) {
      // Missing, or the end: it is missing when one of the next two is
      // there.
      std::string after = next_segment(name);
      int gap = 1;
      while (gap <= 2 && !after.empty() && !exists(after)) {
        after = next_segment(after);
        ++gap;
      }
      if (gap > 2 || after.empty()) break;
      faults.push_back(
          (gap == 1 ? name + " is missing"
                    : std::to_string(gap) + " segments from " + name +
                          " on are missing") +
          ", though " + after + " is there: " + std::to_string(gap * size) +
          " bytes from offset " + std::to_string(at) + " were carved as zeros");
      zeros(gap * size);
      name = after;
      continue;
    }
    // The segment before this one is shorter than the first, though this
    // one follows it: the bytes it lacks are zeros.
    const Split::Part& last = parts.back();
    if (last.file != nullptr && last.size < size) {
      faults.push_back(names.back() + " holds " + std::to_string(last.size) +
                       " bytes, not the " + std::to_string(size) + " of " +
                       first + ", though " + name +
                       " follows it: " + std::to_string(size - last.size) +
                       " bytes from offset " + std::to_string(at) +
                       " were carved as zeros");
      zeros(size - last.size);
    } else if (last.file != nullptr && last.size > size) {
      faults.push_back(names.back() + " holds " + std::to_string(last.size) +
                       " bytes, more than the " + std::to_string(size) +
                       " of " + first +
                       ": the offsets after it may not be the media's");
    }
    std::FILE* file = open_file(name, "rb");
    const std::string why = file == nullptr ? std::strerror(errno) : "";
    std::error_code error;
    const uint64_t length = std::filesystem::file_size(fs_path(name), error);
    if (file == nullptr || error) {
      if (file != nullptr) std::fclose(file);
      faults.push_back(name + " could not be opened (" +
                       (file == nullptr ? why : error.message()) +
                       "): nothing from offset " + std::to_string(at) +
                       " on was read");
      break;
    }
    names.push_back(name);
    parts.push_back({file, at, length});
    at += length;
    name = next_segment(name);
    if (name.empty()) break;
  }
  return std::make_unique<Split>(std::move(names), std::move(parts),
                                 std::move(faults));
}

// The first segment's suffix: all digits and counting 0 or 1, or "aa".
bool first_segment(const std::string& name) {
  const size_t dot = name.find_last_of("./\\");
  if (dot == std::string::npos || name[dot] != '.') return false;
  const std::string suffix = name.substr(dot + 1);
  if (suffix.size() < 2) return false;
  if (std::all_of(suffix.begin(), suffix.end(),
                  [](char c) { return c == 'a'; }))
    return true;
  return std::all_of(suffix.begin(), suffix.end() - 1,
                     [](char c) { return c == '0'; }) &&
         (suffix.back() == '0' || suffix.back() == '1');
}

#if PNGCARVE_HAVE_EWF

// libewf's message: the first line of its trace, where the fault was
// found.
std::string ewf_text(libewf_error_t* error) {
  char text[2048] = "";
  if (error != nullptr) {
    libewf_error_backtrace_sprint(error, text, sizeof text);
    libewf_error_free(&error);
  }
  std::string said(text, std::strcspn(text, "\n"));
  while (!said.empty() && said.back() == '.') said.pop_back();
  return said.empty() ? "libewf could not read it" : "libewf: " + said;
}

class Ewf : public Evidence {
 public:
  ~Ewf() override {
    if (handle_ != nullptr) {
      libewf_handle_close(handle_, nullptr);
      libewf_handle_free(&handle_, nullptr);
    }
  }

  // Null, with `*error` saying why, when libewf can't open it.
  static std::unique_ptr<Evidence> open(const std::string& path,
                                        std::string* error) {
    std::unique_ptr<Ewf> ewf(new Ewf);
    libewf_error_t* said = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names,
                    &count, &said) != 1 ||
        count < 1) {
      *error = ewf_text(said);
      if (names != nullptr) libewf_glob_free(names, count, nullptr);
      return nullptr;
    }
    for (int k = 0; k < count; ++k) ewf->segments_.push_back(names[k]);
    // libewf globs up to the first segment missing, and tells none by
    // name; one missing with others after it is found here.
    const std::string missing = next_ewf(ewf->segments_.back());
    const std::string after = next_ewf(missing);
    if (!after.empty() && exists(after))
      ewf->gap_ = missing + " is missing, though " + after +
                  " is there: nothing in the segments from it on was read";
    const bool opened =
        libewf_handle_initialize(&ewf->handle_, &said) == 1 &&
        libewf_handle_open(ewf->handle_, names, count, LIBEWF_OPEN_READ,
                           &said) == 1 &&
        libewf_handle_get_media_size(ewf->handle_, &ewf->size_, &said) == 1 &&
        libewf_handle_get_chunk_size(ewf->handle_, &ewf->chunk_size_, &said) ==
            1 &&
        libewf_handle_set_read_zero_chunk_on_error(ewf->handle_, 1, &said) ==
            1 &&
        ewf->chunk_size_ > 0;
    libewf_glob_free(names, count, nullptr);
    if (!opened) {
      *error = ewf_text(said);
      return nullptr;
    }
    return ewf;
  }

  const char* container() const override { return "EWF"; }
  // A chunk libewf can't read (a segment truncated or missing, a chunk
  // that won't inflate) is given as zeros, so that what follows it is
  // carved at its offsets, and faults() names it.
  long read(void* buf, size_t n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read_ == size_) return 0;
    // Whole chunks where it can, as libewf stores them.
    uint64_t end = std::min<uint64_t>(read_ + n, size_);
    if (end / chunk_size_ * chunk_size_ > read_)
      end = end / chunk_size_ * chunk_size_;
    n = static_cast<size_t>(end - read_);
    libewf_error_t* said = nullptr;
    ssize_t got = libewf_handle_read_random(handle_, buf, n,
                                            static_cast<off64_t>(read_), &said);
    if (got < 0) {
      // Again, to the chunk's end alone: the chunks before the bad one
      // in a longer read are good.
      libewf_error_free(&said);
      const size_t chunk = static_cast<size_t>(
          std::min<uint64_t>(n, chunk_size_ - read_ % chunk_size_));
      got = libewf_handle_read_random(handle_, buf, chunk,
                                      static_cast<off64_t>(read_), &said);
      if (got < 0) {
        std::memset(buf, 0, chunk);
        if (!unread_.empty() && unread_.back().end == read_)
          unread_.back().end += chunk;
        else
          unread_.push_back({read_, read_ + chunk, ewf_text(said)});
        said = nullptr;
        got = static_cast<ssize_t>(chunk);
      }
    }
    if (got == 0) {
      failure_ = "its segments end at byte " + std::to_string(read_) +
                 " of its media's " + std::to_string(size_);
      return -1;
    }
    read_ += static_cast<uint64_t>(got);
    return got;
  }
  bool can_read_at() const override { return true; }
  size_t read_at(uint64_t offset, void* buf, size_t n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* out = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < n && offset + done < size_) {
      const ssize_t got = libewf_handle_read_random(
          handle_, out + done, n - done, static_cast<off64_t>(offset + done),
          nullptr);
      if (got < 0) return SIZE_MAX;
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    return done;
  }
  StoredHashes stored() const override {
    StoredHashes hashes;
    uint8_t md5[kMd5Size], sha1[kSha1Size];
    if (libewf_handle_get_md5_hash(handle_, md5, sizeof md5, nullptr) == 1)
      hashes.md5 = hex(md5, sizeof md5);
    if (libewf_handle_get_sha1_hash(handle_, sha1, sizeof sha1, nullptr) == 1)
      hashes.sha1 = hex(sha1, sizeof sha1);
    return hashes;
  }
  std::vector<std::string> faults() override {
    std::vector<std::string> said;
    if (!gap_.empty()) said.push_back(gap_);
    for (const Unread& gap : unread_)
      said.push_back("bytes " + std::to_string(gap.start) + " to " +
                     std::to_string(gap.end - 1) + " could not be read (" +
                     gap.why + "), and were carved as zeros");
    uint32_t count = 0, bytes_per_sector = 512;
    libewf_handle_get_bytes_per_sector(handle_, &bytes_per_sector, nullptr);
    if (libewf_handle_get_number_of_checksum_errors(handle_, &count, nullptr) !=
        1)
      return said;
    for (uint32_t k = 0; k < count; ++k) {
      uint64_t first = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(handle_, k, &first, &sectors,
                                           nullptr) != 1 ||
          std::any_of(unread_.begin(), unread_.end(), [&](const Unread& gap) {
            return gap.start <= first * bytes_per_sector &&
                   (first + sectors) * bytes_per_sector <= gap.end;
          }))
        continue;
      said.push_back("bytes " + std::to_string(first * bytes_per_sector) +
                     " to " +
                     std::to_string((first + sectors) * bytes_per_sector - 1) +
                     " are not as acquired (a chunk of the EWF image missing "
                     "or damaged), and were carved as zeros");
    }
    return said;
  }

 private:
  Ewf() = default;

  // The segment after an EWF segment's name, from E01 to E99; past that,
  // "" (libewf's own names go on at EAA).
  static std::string next_ewf(const std::string& name) {
    if (name.size() < 3) return "";
    std::string next = name;
    const size_t at = name.size() - 2;
    if (std::isdigit(static_cast<unsigned char>(next[at])) &&
        std::isdigit(static_cast<unsigned char>(next[at + 1])) &&
        next.substr(at) != "99") {
      const int n = std::stoi(next.substr(at)) + 1;
      next[at] = static_cast<char>('0' + n / 10);
      next[at + 1] = static_cast<char>('0' + n % 10);
      return next;
    }
    return "";
  }

  struct Unread {
    uint64_t start, end;
    std::string why;
  };

  libewf_handle_t* handle_ = nullptr;
  std::mutex mutex_;
  size64_t size_ = 0;
  uint32_t chunk_size_ = 32768;
  std::vector<Unread> unread_;  // by read(), in order
  std::string gap_;             // a segment missing before others
  uint64_t read_ = 0;           // by read()
};

#endif

}  // namespace

bool opens_ewf() { return PNGCARVE_HAVE_EWF != 0; }

std::string next_segment(const std::string& name) {
  const size_t dot = name.find_last_of("./\\");
  if (dot == std::string::npos || name[dot] != '.' || dot + 1 == name.size())
    return "";
  std::string next = name;
  const bool digits = std::isdigit(static_cast<unsigned char>(name.back()));
  if (!std::all_of(name.begin() + dot + 1, name.end(), [digits](char c) {
        return digits ? std::isdigit(static_cast<unsigned char>(c)) != 0
                      : c >= 'a' && c <= 'z';
      }))
    return "";
  for (size_t k = name.size(); k-- > dot + 1;) {
    char& c = next[k];
    if (c != (digits ? '9' : 'z')) {
      ++c;
      return next;
    }
    c = digits ? '0' : 'a';
  }
  return "";  // "disk.999", "disk.zz": no further
}

std::unique_ptr<Evidence> open_evidence(const std::string& path,
                                        std::string* error) {
  std::FILE* file = open_file(path, "rb");
  if (file == nullptr) {
    *error = std::string("could not be opened: ") + std::strerror(errno);
    return nullptr;
  }
  if (is_directory(file)) {
    std::fclose(file);
    *error = "is a folder, not a file";
    return nullptr;
  }
  // The signature is looked for only where it can be read without taking
  // the bytes from the carve: not in a pipe; and through a stream of its
  // own, since a read at an offset moves a Windows file's position.
  unsigned char head[sizeof kEwfSignature] = {};
  size_t got = 0;
  if (can_read_at(file)) {
    std::FILE* peek = open_file(path, "rb");
    const bool read =
        peek != nullptr &&
        ((got = std::fread(head, 1, sizeof head, peek)), !std::ferror(peek));
    const std::string why = std::strerror(errno);
    if (peek != nullptr) std::fclose(peek);
    if (!read) {
      *error = "could not be read: " + why;
      std::fclose(file);
      return nullptr;
    }
  }
  if (got == sizeof head &&
      (std::memcmp(head, kEwfSignature, sizeof head) == 0 ||
       std::memcmp(head, kEwf2Signature, sizeof head) == 0)) {
    std::fclose(file);
#if PNGCARVE_HAVE_EWF
    return Ewf::open(path, error);
#else
    *error =
        "is an EWF (E01) image, which this build of pngcarve-report can't "
        "open: carve it with a build that has libewf (the Debian package's), "
        "or through ewfexport as the manual shows";
    return nullptr;
#endif
  }
  if (first_segment(path)) {
    // The next segment there, or one of the two after it, where it is
    // missing.
    const std::string second = next_segment(path);
    bool split = false;
    for (std::string name = second;
         !split && !name.empty() &&
         name != next_segment(next_segment(next_segment(second)));
         name = next_segment(name))
      split = exists(name);
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(fs_path(path), error);
    if (!error && split) return open_split(path, file, size, second);
  }
  return std::make_unique<File>(path, file);
}

}  // namespace pngcarve
