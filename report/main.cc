// pngcarve-report: carves each input as pngcarve does, the same images under
// the same names (or in the folder -o names), and writes a record of every
// image to standard output as it goes: DFXML, or with --csv the page's report
// format. With -n it writes no images, only the record, with the hashes the
// images would have. An image whose structure check fails is then rebuilt from
// the input's pieces, or its rows before the break salvaged (report/mending.h),
// where the input can be read again; --no-mend leaves them be. Progress goes to
// standard error when that is a terminal. Exit status 0, 1 when an input could
// not be opened or read, an image could not be written (the run stops there, as
// pngcarve's does) or the record could not be written, and 2 for a command line
// it can't follow.
#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "check.h"
#include "digest.h"
#include "evidence.h"
#include "handoff.h"
#include "mending.h"
#include "merge.h"
#include "nested.h"
#include "part.h"
#include "paths.h"
#include "platform.h"
#include "png_extract.h"
#include "record.h"
#include "source_hash.h"
#include "stream_copy.h"
#include "tag_index.h"
#include "trace.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#ifndef PNGCARVE_VERSION
#define PNGCARVE_VERSION "unknown"
#endif

namespace {

using namespace pngcarve;

constexpr char kUsage[] =
    "Usage: pngcarve-report [OPTION]... FILE...\n"
    "Carve the PNG images out of each FILE, as pngcarve does, and write a\n"
    "record of every image to standard output: DFXML, or CSV.\n"
    "\n"
    "  --csv          write CSV, the web page's report format\n"
    "  -n, --dry-run  write no images, only the record\n"
    "  -o, --output-dir DIR\n"
    "                 write the images in DIR, named after each FILE's name\n"
    "      --no-mend  do not rebuild or salvage images whose check fails\n"
    "      --all      write junk too (an image begun by a chance IHDR tag)\n"
    "      --min-size WxH\n"
    "                 do not write images narrower than W or shorter than H\n"
    "      --no-copies\n"
    "                 do not write an image whose bytes were written before\n"
    "      --no-source-hash\n"
    "                 do not hash each FILE's own bytes, nor check them\n"
    "                 against the hashes an E01 image stores\n"
    "      --jobs N   carve FILE in N ranges at once, then put them together\n"
    "      --range START:LENGTH\n"
    "                 carve only the images whose IHDR tag begins in LENGTH\n"
    "                 bytes from START (to the end when LENGTH is left out),\n"
    "                 and write a part of the record, for --merge, not the "
    "record\n"
    "      --source-part\n"
    "                 hash FILE's own bytes only, as a part for --merge\n"
    "      --merge PART...\n"
    "                 put the parts of one FILE's carve together: the record "
    "and\n"
    "                 images one run over all of FILE would write, mended\n"
    "      --help     show this help and exit\n"
    "      --version  show the version, and whether E01 images are opened,\n"
    "                 and exit\n"
    "  --             take every argument after it as a FILE\n";

#ifdef _WIN32
constexpr char kNullDevice[] = "NUL";
#else
constexpr char kNullDevice[] = "/dev/null";
#endif

struct Options {
  bool csv = false;
  bool dry_run = false;
  bool mend = true;
  bool all = false;         // junk written too
  bool no_copies = false;   // an image whose bytes were written once is not
  bool source_hash = true;  // each input's own bytes hashed
  uint32_t min_width = 0;   // narrower or shorter images are not written
  uint32_t min_height = 0;
  std::string output_dir;  // "": beside each input
  std::vector<std::string> inputs;
  // A part of a carve: a range of the input, from `range_start`, or its
  // own bytes hashed; and the parts put together.
  bool ranged = false, source_part = false, merge = false;
  uint64_t range_start = 0, range_length = kToTheEnd;
  int jobs = 0;  // ranges carved at once
  // The arguments but those of parts: the one carve's the parts make.
  std::vector<std::string> args;
  // Where a range's carve writes its images' facts, in place of records.
  std::FILE* part = nullptr;

  // Writes an image's record to standard output, as a row or an element;
  // for a range's carve, its facts to the part, with the offsets the
  // input's.
  void write(const ImageRecord& record) const {
    if (part != nullptr) {
      ImageRecord r = record;
      r.offset += range_start;
      for (uint64_t& at : r.hidden) at += range_start;
      const bool file = !dry_run && r.not_written.empty();
      std::fputs(part_image(r, file ? r.output : "").c_str(), part);
      return;
    }
    std::fputs((csv ? csv_row(record) : dfxml_fileobject(record)).c_str(),
               stdout);
  }

  // Why an image is not written, by the bytes after its tag (`n` of the
  // 17), or "" when it is. Copies are known only once it is hashed.
  const char* skip(const unsigned char* tail, size_t n) const {
    if (!all && is_junk(tail, n)) return "junk";
    if (n >= kIhdrDataSize &&
        (load_be32(tail) < min_width || load_be32(tail + 4) < min_height))
      return "small";
    return "";
  }
};

// What is said of an input whose read failed, with what `evidence` knows
// of why.
std::string read_failed(const Evidence& evidence) {
  return evidence.failure().empty()
             ? std::string(kReadFailedText)
             : kReadFailedText + (": " + evidence.failure());
}

constexpr char kHashesFailedText[] =
    "an image's hashes could not be computed (out of memory)";

// The images written so far, by their SHA-256, for --no-copies.
class Written {
 public:
  // Whether `record`'s bytes were written before; noted, if not.
  bool copy(const ImageRecord& record) {
    std::array<unsigned char, kSha256Size> sha256;
    std::copy_n(record.digests.begin(), kSha256Size, sha256.begin());
    return !sha256s_.insert(sha256).second;
  }

 private:
  std::set<std::array<unsigned char, kSha256Size>> sha256s_;
};

// The slot an input's own bytes go over in, to be hashed with the images.
constexpr size_t kSourceSlot = SlotSink::kSlots;

// What is known of each image from its bytes as they go by; at its end, its
// record goes to standard output, with what the carve knew of it. A copy of
// an image written before, by SHA-256, is taken away again when copies are
// not to be written. The bytes in kSourceSlot are the input's own, hashed
// alone.
class Image : public ImageSink {
 public:
  explicit Image(const Options& options)
      : options_(options), slots_(SlotSink::kSlots) {}

  // Whether the next input's SHA-1 is made too. Set on the carving thread
  // before that input's start in kSourceSlot is handed over, which orders
  // it before the second thread reads it.
  void source_sha1(bool sha1) { source_sha1_ = sha1; }
  // The hashes of the input whose end in kSourceSlot was told, into
  // `source`, each "" when not made. Asked once the handoff is drained.
  void source_hashes(SourceRecord* source) const {
    source->md5 = source_hex_.md5;
    source->sha256 = source_hex_.sha256;
    source->sha1 = source_hex_.sha1;
  }

  // False when an image's hashes could not be had (out of memory) since
  // it was last asked.
  bool take_hashed() { return std::exchange(hashed_, true); }

  void start(size_t slot, const std::string& input, const std::string& output,
             const std::string& parent, uint64_t offset) override {
    if (slot == kSourceSlot) {
      source_.start(source_sha1_);
      return;
    }
    ImageRecord& record = slots_[slot].record;
    record = ImageRecord();
    record.input = input;
    record.output = output;
    record.parent = parent;
    slots_[slot].trace.start(offset, &record);
  }

  void push(size_t slot, const unsigned char* data, size_t n) override {
    if (slot == kSourceSlot) {
      source_.push(data, n);
      return;
    }
    ImageTrace& trace = slots_[slot].trace;
    const bool had = trace.tail_whole();
    trace.push(data, n);
    // Junk that is not written is not hashed: a chance tag's run is often
    // gigabytes, and several lie inside one another.
    if (!had && trace.tail_whole() &&
        std::strcmp(options_.skip(trace.tail(), kIhdrTail), "junk") == 0)
      trace.stop_hashing();
  }

  void end(size_t slot, const ImageEnd& how) override {
    if (slot == kSourceSlot) {
      source_hex_ = source_.end();
      hashed_ = source_hex_.ok && hashed_;
      return;
    }
    ImageRecord& record = slots_[slot].record;
    record.run_length = how.run_length;
    record.iend = how.iend;
    record.check = how.check;
    record.not_written = how.not_written;
    record.not_carved = how.not_carved;
    try {
      hashed_ = slots_[slot].trace.end(&record) && hashed_;
      if (options_.no_copies && options_.part == nullptr &&
          record.not_written.empty() && written_.copy(record)) {
        record.not_written = "copy";
        std::error_code error;
        if (!options_.dry_run)
          std::filesystem::remove(fs_path(record.output), error);
      }
      options_.write(record);
    } catch (const std::bad_alloc&) {
      hashed_ = false;  // its record is lost with them
    }
  }

 private:
  struct Slot {
    ImageRecord record;
    ImageTrace trace;
  };
  const Options& options_;
  bool hashed_ = true;
  std::vector<Slot> slots_;  // the image carved in each slot
  Written written_;
  SourceHash source_;
  bool source_sha1_ = false;
  SourceHash::Hex source_hex_;
};

// What the carve of one input tells: each image's structure check is made
// here, on the carving thread, and the image handed over to the second,
// in its slot.
class Carve : public SlotSink {
 public:
  // `tags`, when given, is told every IDAT and IEND tag of the input
  // `path`, whose outputs are named after `stem`.
  // Every byte of the input goes over in kSourceSlot too, when the
  // options say it is hashed.
  Carve(const std::string& path, const std::string& stem,
        const Options& options, Handoff* handoff, TagIndex* tags)
      : SlotSink(stem),
        path_(path),
        options_(options),
        handoff_(handoff),
        tags_(tags),
        slots_(kSlots) {
    if (options_.source_hash) handoff_->start(kSourceSlot, path, "", "", 0);
  }
  // Once the input's own bytes are all told.
  void finish() {
    if (options_.source_hash) handoff_->end(kSourceSlot, {});
  }

  // The output being written when the carve stopped: the one that failed,
  // or else the last one named.
  const std::string& output() const {
    return failed_.empty() ? slots_[0].output : failed_;
  }
  // The images whose check failed, in the order they ended, but junk and
  // those not written for their size.
  const std::vector<Broken>& broken() const { return broken_; }

  bool writes() const override { return !options_.dry_run; }
  uint64_t begins_before() const override {
    return options_.part == nullptr ? UINT64_MAX : options_.range_length;
  }
  void tag_not_carved(uint64_t offset) override {
    if (options_.part != nullptr)
      std::fputs(part_not_carved(options_.range_start + offset).c_str(),
                 options_.part);
  }
  bool keeps(const unsigned char* tail, size_t n) override {
    return *options_.skip(tail, n) == '\0';
  }
  void output_failed(const std::string& name) override { failed_ = name; }
  bool sees_input() const override {
    return tags_ != nullptr || options_.source_hash;
  }
  void input(const unsigned char* data, size_t n) override {
    if (tags_ != nullptr) tags_->push(data, n);
    if (options_.source_hash) handoff_->push(kSourceSlot, data, n);
  }

  // Whether every image being carved is junk that is not written, so that
  // a range's carve, past its end, needs no more of the input: the merge
  // walks their runs' chunk headers to where they end.
  bool only_junk_open() const {
    for (const Slot& slot : slots_)
      if (slot.open &&
          (slot.seen < kHead + kIhdrTail ||
           std::strcmp(options_.skip(slot.tail, kIhdrTail), "junk") != 0))
        return false;
    return true;
  }

  void image_start(size_t k, uint64_t offset, const std::string& output,
                   const std::string& parent) override {
    Slot& slot = slots_[k];
    slot.open = true;
    slot.offset = offset;
    slot.output = output;
    slot.seen = 0;
    if (!slot.check) slot.check = std::make_unique<StructureCheck>();
    slot.check->start();
    handoff_->start(k, path_, output, parent, offset);
  }
  void image_bytes(size_t k, const unsigned char* data, size_t n) override {
    Slot& slot = slots_[k];
    for (size_t i = 0; i < n && slot.seen + i < kHead + kIhdrTail; ++i)
      if (slot.seen + i >= kHead) slot.tail[slot.seen + i - kHead] = data[i];
    slot.seen += n;
    slot.check->push(data, n);
    handoff_->push(k, data, n);
  }
  void image_end(size_t k, uint64_t run_length, bool iend) override {
    Slot& slot = slots_[k];
    slot.open = false;
    const char* check = slot.check->end(!iend);
    const size_t tail = static_cast<size_t>(std::min<uint64_t>(
        slot.seen > kHead ? slot.seen - kHead : 0, kIhdrTail));
    const char* skipped = options_.skip(slot.tail, tail);
    if (std::strcmp(check, "ok") == 0) {
      // A range's images may not be the carve's: the merge claims.
      if (tags_ != nullptr && options_.part == nullptr)
        tags_->claim(slot.offset, run_length);
    } else if (to_mend(check, skipped)) {
      broken_.push_back({slot.offset, run_length, slot.output});
    }
    handoff_->end(k, {run_length, iend, check, skipped, not_carved_in(k)});
  }

 private:
  // In an image's bytes: the constant ones, then the 17 after its tag.
  static constexpr size_t kHead = sizeof kSignature + sizeof kIhdrHeader;
  struct Slot {
    bool open = false;
    uint64_t offset = 0;
    std::string output;
    uint64_t seen = 0;  // of its bytes
    unsigned char tail[kIhdrTail] = {};
    std::unique_ptr<StructureCheck> check;
  };

  const std::string& path_;
  const Options& options_;
  Handoff* handoff_;
  TagIndex* tags_;
  std::vector<Slot> slots_;
  std::string failed_;
  std::vector<Broken> broken_;
};

// What the outputs of the input `path` are named after: the path itself,
// or with an output folder, the input's file name in it; the Nth input of
// a name that others had before it goes in the folder's subfolder "N"
// ("case/2/disk.img"), so that none overwrites another's images. Makes
// the folder; "" when it can't be made, with `*error` saying why.
std::string output_stem(const std::string& dir, const std::string& path,
                        std::map<std::string, int>* given, std::string* error) {
  if (dir.empty()) return path;
  const std::string name = utf8_of(fs_path(path).filename());
  const int nth = ++(*given)[name];
  const std::string folder =
      nth == 1 ? dir : utf8_of(fs_path(dir) / std::to_string(nth));
  std::error_code made;
  std::filesystem::create_directories(fs_path(folder), made);
  if (made) {
    *error = "could not make the folder " + folder + ": " + made.message();
    return "";
  }
  return utf8_of(fs_path(folder) / fs_path(name));
}

// Returns 0 with `options` filled, or the exit status to end with.
int parse(const std::vector<std::string>& args, Options* options) {
  bool files_only = false;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string& arg = args[k];
    const bool option = !files_only && arg.size() >= 2 && arg[0] == '-';
    if (options->merge && option) {
      std::fprintf(stderr,
                   "pngcarve-report: --merge takes only parts: the options "
                   "are those their carves were given\n%s",
                   kUsage);
      return 2;
    }
    if (option && (arg == "--range" || arg == "--jobs")) {
      unsigned long long a = 0, b = 0;
      char colon = 0, rest = 0;
      const char* value = k + 1 < args.size() ? args[k + 1].c_str() : "";
      const int got = std::sscanf(value, "%llu%c%llu%c", &a, &colon, &b, &rest);
      const bool range =
          arg == "--range" && std::isdigit(value[0]) &&
          ((got == 2 && colon == ':') ||
           (got == 3 && colon == ':' && b > 0 &&
            std::isdigit(std::strchr(value, ':')[1]) && a <= UINT64_MAX - b));
      const bool jobs = arg == "--jobs" && got == 1 && a >= 1 && a <= 256;
      if (!range && !jobs) {
        std::fprintf(stderr,
                     arg == "--range"
                         ? "pngcarve-report: --range takes START:LENGTH, as "
                           "0:1073741824, or START:\n%s"
                         : "pngcarve-report: --jobs takes a number, 1 to "
                           "256\n%s",
                     kUsage);
        return 2;
      }
      if (range) {
        options->ranged = true;
        options->range_start = a;
        options->range_length = got == 3 ? b : kToTheEnd;
      } else {
        options->jobs = static_cast<int>(a);
      }
      ++k;
      continue;
    }
    if (option && arg == "--source-part") {
      options->source_part = true;
      continue;
    }
    if (option && arg == "--merge") {
      options->merge = true;
      continue;
    }
    if (!options->merge) options->args.push_back(arg);
    if (!option) {
      options->inputs.push_back(arg);
    } else if (arg == "--") {
      files_only = true;
    } else if (arg == "--csv") {
      options->csv = true;
    } else if (arg == "-n" || arg == "--dry-run") {
      options->dry_run = true;
    } else if (arg == "--no-mend") {
      options->mend = false;
    } else if (arg == "-o" || arg == "--output-dir") {
      if (k + 1 == args.size() || args[k + 1].empty()) {
        std::fprintf(stderr, "pngcarve-report: %s takes a folder\n%s",
                     arg.c_str(), kUsage);
        return 2;
      }
      options->output_dir = args[++k];
      options->args.push_back(args[k]);
    } else if (arg == "--all") {
      options->all = true;
    } else if (arg == "--no-copies") {
      options->no_copies = true;
    } else if (arg == "--no-source-hash") {
      options->source_hash = false;
    } else if (arg == "--min-size") {
      unsigned long width = 0, height = 0;
      char x = 0, rest = 0;
      if (k + 1 == args.size() ||
          std::sscanf(args[k + 1].c_str(), "%lu%c%lu%c", &width, &x, &height,
                      &rest) != 3 ||
          x != 'x' || width > UINT32_MAX || height > UINT32_MAX) {
        std::fprintf(stderr,
                     "pngcarve-report: --min-size takes WxH, as 16x16\n%s",
                     kUsage);
        return 2;
      }
      options->min_width = static_cast<uint32_t>(width);
      options->min_height = static_cast<uint32_t>(height);
      options->args.push_back(args[++k]);
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return std::fclose(stdout) == 0 ? -1 : 1;
    } else if (arg == "--version") {
      std::fputs("pngcarve-report " PNGCARVE_VERSION "\n", stdout);
      std::fputs(opens_ewf() ? "E01 (EWF) images: opened, through libewf\n"
                             : "E01 (EWF) images: not opened by this build\n",
                 stdout);
      return std::fclose(stdout) == 0 ? -1 : 1;
    } else {
      std::fprintf(stderr, "pngcarve-report: unknown option '%s'\n%s",
                   arg.c_str(), kUsage);
      return 2;
    }
  }
  if (options->inputs.empty()) {
    std::fprintf(stderr, "pngcarve-report: no %s given\n%s",
                 options->merge ? "PART" : "FILE", kUsage);
    return 2;
  }
  const int parts = options->ranged + options->source_part + options->merge +
                    (options->jobs > 0);
  if (parts > 1 ||
      (parts == 1 && !options->merge && options->inputs.size() != 1)) {
    std::fprintf(stderr,
                 "pngcarve-report: --range, --source-part and --jobs take one "
                 "FILE, and none of them goes with another or with --merge\n%s",
                 kUsage);
    return 2;
  }
  return 0;
}

// The folder a range's carve writes its images in, under names of its own,
// beside those the merge gives them.
std::string range_folder(const std::string& stem, uint64_t start) {
  return stem + ".range-" + std::to_string(start);
}

// Writes the part of `path`'s carve the options ask for (a range's, or its
// own bytes hashed) to `out`. Returns "" or what went wrong; a part not
// made whole has no last line.
std::string make_part(const Options& given, const std::string& path,
                      std::FILE* out) {
  std::string error;
  std::unique_ptr<Evidence> evidence = open_evidence(path, &error);
  if (!evidence) return error;
  if (!evidence->can_read_at())
    return "can't be read at an offset (a pipe?), so not in parts";
  Part part;
  part.input = path;
  part.identity = identity_of(evidence->segments());
  part.args = given.args;
  part.source = given.source_part;
  part.start = given.range_start;
  part.length = given.range_length;
  std::fputs(part_head(part).c_str(), out);
  if (part.source) {
    // Every byte in order, hashed as the whole carve hashes them.
    SourceHash hash;
    const StoredHashes stored = evidence->stored();
    hash.start(!stored.sha1.empty());
    std::vector<unsigned char> buf(kInputBufferSize);
    long got = 0;
    SourceRecord& s = part.hashes;
    while ((got = evidence->read(buf.data(), buf.size())) > 0) {
      hash.push(buf.data(), static_cast<size_t>(got));
      s.bytes_read += static_cast<uint64_t>(got);
    }
    const SourceHash::Hex hex = hash.end();
    if (!hex.ok) return "its hashes could not be computed";
    s.container = evidence->container();
    s.segments = evidence->segments();
    s.whole = got == 0;
    s.md5 = hex.md5;
    s.sha256 = hex.sha256;
    s.sha1 = hex.sha1;
    s.stored_md5 = stored.md5;
    s.stored_sha1 = stored.sha1;
    if (got < 0) part.failures.push_back(read_failed(*evidence));
  } else {
    Options options = given;
    options.part = out;
    options.mend = false;
    options.source_hash = false;
    std::map<std::string, int> names;
    const std::string stem =
        output_stem(options.output_dir, path, &names, &error);
    if (stem.empty()) return error;
    const std::string folder = range_folder(stem, part.start);
    std::error_code made;
    if (!options.dry_run)
      std::filesystem::create_directories(fs_path(folder), made);
    if (made)
      return "could not make the folder " + folder + ": " + made.message();
    const std::string names_in = utf8_of(fs_path(folder) / "r");
    Image image(options);
    TagIndex tags;
    ExtractResult result = ExtractResult::kOk;
    std::string output;
    std::FILE* quiet = open_file(kNullDevice, "w");
    if (quiet == nullptr) return "could not open " + std::string(kNullDevice);
    {
      Handoff handoff(&image);
      Carve carve(path, names_in, options, &handoff, &tags);
      uint64_t at = part.start;
      // Past the range's end (and the few bytes the carve may hold unread
      // when it asks for more), the input ends once only junk is open.
      const uint64_t stop_from =
          part.length == kToTheEnd || part.start + part.length > UINT64_MAX - 64
              ? UINT64_MAX
              : part.start + part.length + 64;
      result = png_extract_from(
          [&](void* buf, size_t n) -> long {
            if (at >= stop_from && carve.only_junk_open()) {
              part.stopped = true;
              return 0;
            }
            const size_t got =
                evidence->read_at(at, buf, std::min<size_t>(n, 1 << 30));
            if (got == SIZE_MAX) return -1;
            at += got;
            return static_cast<long>(got);
          },
          names_in, quiet, false, &carve);
      carve.finish();
      output = carve.output();
      handoff.drain();
      part.read_to = at;
    }
    std::fclose(quiet);
    if (!image.take_hashed()) return kHashesFailedText;
    if (result == ExtractResult::kCreateFailed ||
        result == ExtractResult::kWriteFailed)
      return (result == ExtractResult::kCreateFailed ? "could not create "
                                                     : "could not write ") +
             output;
    for (uint64_t tag : tags.noted())
      if (tag < part.length)
        std::fputs(part_chunk_tag(part.start + tag).c_str(), out);
    if (result == ExtractResult::kReadFailed)
      part.failures.push_back(read_failed(*evidence));
  }
  for (const std::string& fault : evidence->faults())
    part.failures.push_back(fault);
  std::fputs(part_tail(part).c_str(), out);
  if (std::ferror(out) != 0) return "its part could not be written";
  return "";
}

// Puts the parts of `path`'s carve together: its images' records written,
// their files renamed from their parts' names to the carve's (or removed,
// when copies are not written), and what mending and the record's end need.
// Returns "" or what stopped it.
std::string put_together(std::vector<Part>& parts, const std::string& path,
                         const std::string& stem, const Options& options,
                         const ReadAt& read, TagIndex* tags,
                         std::vector<Broken>* broken, uint64_t* not_carved,
                         std::vector<std::string>* faults,
                         SourceRecord* hashes) {
  // Each part read what it read of the input, so a fault several saw is
  // said once, in the order of the part that read it all, when there is
  // one.
  std::stable_partition(parts.begin(), parts.end(),
                        [](const Part& part) { return part.source; });
  for (const Part& part : parts)
    for (const std::string& failure : part.failures)
      if (std::find(faults->begin(), faults->end(), failure) == faults->end())
        faults->push_back(failure);
  std::vector<Part> ranges;
  for (Part& part : parts) {
    if (part.source)
      *hashes = part.hashes;
    else
      ranges.push_back(std::move(part));
  }
  uint64_t size = 0;  // read to by the range that runs to the end
  std::vector<std::string> folders;
  for (const Part& range : ranges) {
    folders.push_back(range_folder(stem, range.start));
    size = std::max(size, range.read_to);
  }
  // An image no range carved as the whole carve does is carved alone.
  const CarveOne carve_one = [&](uint64_t offset, PartImage* image,
                                 bool* stopped) {
    Options one = options;
    one.ranged = true;
    one.range_start = offset;
    one.range_length = 1;
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return std::string("no temporary file for a part");
    std::string wrong = make_part(one, path, file);
    Part part;
    if (wrong.empty()) wrong = read_part(file, &part);
    std::fclose(file);
    folders.push_back(range_folder(stem, offset));
    if (!wrong.empty()) return wrong;
    if (part.images.empty() || part.images[0].record.offset != offset)
      return "the image at " + std::to_string(offset) + " could not be carved";
    *image = std::move(part.images[0]);
    image->record.not_carved = 0;
    *stopped = part.stopped;
    return std::string();
  };
  Merged merged;
  std::string wrong =
      merge_ranges(ranges, stem, read, size, carve_one, tags, &merged);
  if (!wrong.empty()) return wrong;
  Written written;
  for (PartImage& image : merged.images) {
    ImageRecord& record = image.record;
    record.input = path;
    if (options.no_copies && record.not_written.empty() && written.copy(record))
      record.not_written = "copy";
    // Only a file a range wrote in its own folder is taken.
    const bool ours =
        image.file.empty() ||
        std::find(folders.begin(), folders.end(),
                  utf8_of(fs_path(image.file).parent_path())) != folders.end();
    if (!ours) return "a part names " + image.file + ", no file of its range's";
    std::error_code error;
    if (!image.file.empty() && record.not_written.empty())
      std::filesystem::rename(fs_path(image.file), fs_path(record.output),
                              error);
    if (error)
      return "could not rename " + image.file + " to " + record.output + ": " +
             error.message();
    options.write(record);
  }
  for (const std::string& folder : folders) {
    std::error_code error;
    std::filesystem::remove_all(fs_path(folder), error);
  }
  *broken = std::move(merged.broken);
  *not_carved = merged.not_carved;
  return "";
}

// Carves each input the options name, or with `parts`, puts the one
// input's parts together, and writes the record; returns the exit status.
int carve_all(const std::string& program, const Options& options,
              std::vector<Part>* parts) {
  std::string command_line = program;
  for (const std::string& arg : options.args) command_line += ' ' + arg;
  if (options.csv) {
    std::fputs(csv_header().c_str(), stdout);
  } else {
    Creator creator{"pngcarve-report", PNGCARVE_VERSION, command_line,
                    utc_now()};
    std::fputs(dfxml_begin(creator, options.inputs).c_str(), stdout);
  }

  const bool terminal = is_terminal(stderr);
  std::FILE* quiet = terminal ? nullptr : open_file(kNullDevice, "w");
  std::FILE* console = terminal ? stderr : quiet;
  // What went wrong with an input, and what was left undone: each said on
  // standard error as it comes, and kept for the DFXML's end (but asides,
  // which an image's own record holds).
  using Sayings = std::vector<std::pair<std::string, std::string>>;
  Sayings failures, notes;
  std::vector<SourceRecord> sources;  // with the source hashed
  auto say_into = [](Sayings* said) {
    return [said](const std::string& input, const std::string& what) {
      std::fprintf(stderr, "pngcarve-report: %s: %s\n", input.c_str(),
                   what.c_str());
      if (said != nullptr) said->emplace_back(input, what);
    };
  };
  auto failed = say_into(&failures);
  auto noted = say_into(&notes);
  auto aside = say_into(nullptr);
  // The hashes and records are made on the handoff's second thread, while
  // this one carves, writes and checks: the two hashes take that one longer
  // than the rest takes this one (4,000 images of 2.8 KB on tmpfs: 36 ms
  // with the check here, 43 ms with it there).
  Image image(options);
  int status = 0;
  std::string path_now;  // the input being carved or mended
  try {
    // The second thread lives in this block: it has told and written all
    // before the record's end is written and standard output closed.
    Handoff handoff(&image);
    std::map<std::string, int> names_given;  // with -o: by input file name
    std::set<std::string> segments_read;     // of the inputs before
    for (const std::string& path : options.inputs) {
      path_now = path;
      if (segments_read.count(path) != 0) {
        noted(path,
              "is a segment of an image given before it, and was carved "
              "with it");
        continue;
      }
      std::string error;
      std::unique_ptr<Evidence> evidence = open_evidence(path, &error);
      if (!evidence) {
        failed(path, error);
        status = 1;
        continue;
      }
      const std::string stem =
          output_stem(options.output_dir, path, &names_given, &error);
      if (stem.empty()) {
        failed(path, error);
        status = 1;
        continue;
      }
      const std::vector<std::string>& segments = evidence->segments();
      segments_read.insert(segments.begin() + 1, segments.end());
      const StoredHashes stored = evidence->stored();
      image.source_sha1(!stored.sha1.empty());
      // Where broken images can be mended, the tags they are mended by are
      // noted as the input is carved.
      const bool mendable = options.mend && evidence->can_read_at();
      TagIndex tags;
      ExtractResult result = ExtractResult::kOk;
      std::string output;
      std::vector<Broken> broken;
      uint64_t not_carved = 0;
      uint64_t bytes_read = 0;
      std::vector<std::string> faults;
      SourceRecord hashes;  // a source part's
      if (parts == nullptr) {
        Carve carve(path, stem, options, &handoff, mendable ? &tags : nullptr);
        result = png_extract_from(
            [&evidence, &bytes_read](void* buf, size_t n) {
              const long got = evidence->read(buf, n);
              if (got > 0) bytes_read += static_cast<uint64_t>(got);
              return got;
            },
            stem, console ? console : stderr, terminal, &carve);
        carve.finish();
        output = carve.output();
        broken = carve.broken();
        not_carved = carve.not_carved_count();
        handoff.drain();  // this input's records are all written
        faults = evidence->faults();
        if (!image.take_hashed()) {
          failed(path, kHashesFailedText);
          status = 1;
        }
      } else {
        const std::string wrong = put_together(
            *parts, path, stem, options,
            [&evidence](uint64_t at, unsigned char* out, size_t n) {
              return evidence->read_at(at, out, n);
            },
            &tags, &broken, &not_carved, &faults, &hashes);
        if (!wrong.empty()) {
          failed(path, wrong);
          status = 1;
          break;
        }
        bytes_read = hashes.bytes_read;
      }
      if (not_carved > 0)
        noted(path, std::to_string(not_carved) +
                        " IHDR tags inside other images' runs began no image "
                        "of their own: " +
                        std::to_string(kMaxNested) +
                        " were being carved inside others already");
      if (result == ExtractResult::kReadFailed) {
        failed(path, read_failed(*evidence));
        status = 1;
      }
      for (const std::string& fault : faults) {
        failed(path, fault);
        status = 1;
      }
      if (options.source_hash) {
        SourceRecord source;
        source.input = path;
        source.container = evidence->container();
        source.segments = segments;
        source.bytes_read = bytes_read;
        source.whole =
            parts == nullptr ? result == ExtractResult::kOk : hashes.whole;
        if (parts == nullptr) {
          image.source_hashes(&source);
        } else {
          source.md5 = hashes.md5;
          source.sha256 = hashes.sha256;
          source.sha1 = hashes.sha1;
        }
        source.stored_md5 = stored.md5;
        source.stored_sha1 = stored.sha1;
        verify(&source);
        if (source.verification.rfind("failed:", 0) == 0) {
          failed(path, "its bytes are not those acquired: their" +
                           source.verification.substr(7) +
                           " is not the one the image stores");
          status = 1;
        } else if (!source.verification.empty()) {
          aside(path, source.verification);
        }
        sources.push_back(std::move(source));
      }
      if (result == ExtractResult::kOk && options.mend && !broken.empty()) {
        if (!mendable) {
          noted(path,
                "can't be read again, so its broken images were not mended");
        } else {
          tags.done();
          if (tags.overflowed()) noted(path, kTagsOverflowedText);
          const ReadAt read = [&evidence](uint64_t at, unsigned char* out,
                                          size_t n) {
            return evidence->read_at(at, out, n);
          };
          const std::string wrong = mend_images(
              read, path, tags, broken, !options.dry_run,
              [&options](const ImageRecord& record) { options.write(record); },
              [&](const std::string& what, Said how) {
                if (how == Said::kFailure) {
                  failed(path, what);
                  status = 1;
                } else if (how == Said::kNote) {
                  noted(path, what);
                } else {
                  aside(path, what);
                }
              });
          if (!wrong.empty()) {
            failed(path, wrong);
            status = 1;
          }
        }
      }
      if (options.source_hash && options.csv && !options.dry_run &&
          !write_file(stem + ".source.csv",
                      csv_source_header() + csv_source_row(sources.back()))) {
        failed(path, "could not write " + stem + ".source.csv");
        status = 1;
      }
      if (result == ExtractResult::kCreateFailed ||
          result == ExtractResult::kWriteFailed) {
        failed(path,
               (result == ExtractResult::kCreateFailed ? "could not create "
                                                       : "could not write ") +
                   output + "; nothing after it was carved");
        status = 1;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    // The record is still closed, as its format wants.
    failed(path_now, "out of memory; nothing after it was carved or mended");
    status = 1;
  }
  if (quiet) std::fclose(quiet);
  if (!options.csv) {
    for (const SourceRecord& source : sources)
      std::fputs(dfxml_source(source).c_str(), stdout);
    std::fputs(dfxml_end(failures, notes).c_str(), stdout);
  }
  bool record_ok = !std::ferror(stdout);
  if (std::fclose(stdout) != 0 || !record_ok) {
    std::fputs("pngcarve-report: the record could not be written\n", stderr);
    status = 1;
  }
  return status;
}

// Reads the parts `names`, and checks that they are of one carve of one
// input, as it is now. Returns "" or what is wrong.
std::string read_parts(const std::vector<std::string>& names,
                       std::vector<Part>* parts) {
  for (const std::string& name : names) {
    Part part;
    const std::string wrong = read_part(name, &part);
    if (!wrong.empty()) return name + " " + wrong;
    parts->push_back(std::move(part));
  }
  const Part& first = parts->front();
  size_t sources = 0;
  for (const Part& part : *parts) {
    sources += part.source;
    if (part.input != first.input || part.args != first.args)
      return "the parts are not of one carve: " + names[0] + " and " +
             names[&part - parts->data()] +
             " were carved with other inputs or options";
    if (part.identity != first.identity)
      return first.input +
             " changed while its parts were carved: its size or modification "
             "time is not the same in " +
             names[0] + " and " + names[&part - parts->data()];
  }
  if (sources > 1) return "the parts hold more than one --source-part";
  std::string error;
  std::unique_ptr<Evidence> evidence = open_evidence(first.input, &error);
  if (!evidence) return first.input + ": " + error;
  if (identity_of(evidence->segments()) != first.identity)
    return first.input +
           " changed since its parts were carved: its size or modification "
           "time is not theirs";
  return "";
}

// Carves `path` in `options.jobs` ranges, and hashes it whole, into
// `parts`: `options.jobs` of those parts at once, the hash first, since
// it reads all the input. Returns "" or what went wrong.
std::string carve_in_jobs(const Options& options, const std::string& path,
                          std::vector<Part>* parts) {
  std::string error;
  std::unique_ptr<Evidence> evidence = open_evidence(path, &error);
  if (!evidence) return error;
  uint64_t size = 0;  // near the media's: its files'
  for (const std::string& segment : evidence->segments()) {
    std::error_code failed;
    const uint64_t bytes = std::filesystem::file_size(fs_path(segment), failed);
    if (!failed) size += bytes;
  }
  evidence.reset();
  std::vector<Options> each;
  if (options.source_hash) {
    Options source = options;
    source.jobs = 0;
    source.source_part = true;
    each.push_back(source);
  }
  const uint64_t step = std::max<uint64_t>(size / options.jobs, 1);
  for (int k = 0; k < options.jobs && (k == 0 || k * step < size); ++k) {
    Options range = options;
    range.jobs = 0;
    range.ranged = true;
    range.range_start = k * step;
    range.range_length = step;
    each.push_back(range);
  }
  each.back().range_length = kToTheEnd;
  std::vector<std::FILE*> files(each.size());
  std::vector<std::string> wrong(each.size());
  auto one = [&](size_t k) {
    files[k] = std::tmpfile();
    wrong[k] = files[k] == nullptr ? "no temporary file for a part"
                                   : make_part(each[k], path, files[k]);
  };
#if PNGCARVE_HANDOFF_THREAD
  std::atomic<size_t> next{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < options.jobs; ++k)
    threads.emplace_back([&] {
      for (size_t part; (part = next++) < each.size();) one(part);
    });
  for (std::thread& thread : threads) thread.join();
#else
  for (size_t k = 0; k < each.size(); ++k) one(k);
#endif
  std::string first_wrong;
  for (size_t k = 0; k < each.size(); ++k) {
    Part part;
    if (wrong[k].empty()) wrong[k] = read_part(files[k], &part);
    if (files[k] != nullptr) std::fclose(files[k]);
    if (first_wrong.empty()) first_wrong = wrong[k];
    parts->push_back(std::move(part));
  }
  return first_wrong;
}

// `args`: the arguments after the program's name.
int run(const std::string& program, const std::vector<std::string>& args) {
  Options options;
  int parsed = parse(args, &options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  auto fail = [](const std::string& what) {
    std::fprintf(stderr, "pngcarve-report: %s\n", what.c_str());
    return 1;
  };
  if (options.ranged || options.source_part) {
    const std::string wrong = make_part(options, options.inputs[0], stdout);
    const bool written = std::fclose(stdout) == 0;
    if (!wrong.empty()) return fail(options.inputs[0] + ": " + wrong);
    return written ? 0 : fail("the part could not be written");
  }
  std::vector<Part> parts;
  if (options.merge) {
    std::string wrong = read_parts(options.inputs, &parts);
    if (!wrong.empty()) return fail(wrong);
    Options carve;
    if (parse(parts[0].args, &carve) != 0 || carve.inputs.size() != 1 ||
        carve.inputs[0] != parts[0].input)
      return fail("the parts' carve was given options it can't merge");
    const bool source = std::any_of(parts.begin(), parts.end(),
                                    [](const Part& p) { return p.source; });
    if (carve.source_hash && !source)
      return fail(
          "the parts hold no --source-part, which their carve hashes "
          "the input by (or carve them with --no-source-hash)");
    return carve_all(program, carve, &parts);
  }
  if (options.jobs > 0) {
    const std::string wrong = carve_in_jobs(options, options.inputs[0], &parts);
    if (!wrong.empty()) return fail(options.inputs[0] + ": " + wrong);
    return carve_all(program, options, &parts);
  }
  return carve_all(program, options, nullptr);
}

}  // namespace

#ifdef _WIN32
// As pngcarve's: wildcards expanded by the C runtime, the arguments as
// UTF-8, and the record's bytes as written, LF line ends and all.
extern "C" {
int _dowildcard = -1;
}

int wmain(int argc, wchar_t** argv) {
  pngcarve::use_utf8_console();
  _setmode(_fileno(stdout), _O_BINARY);
  return run("pngcarve-report", pngcarve::utf8_arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  return run(argv[0], std::vector<std::string>(argv + 1, argv + argc));
}
#endif
