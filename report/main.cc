// pngcarve-report: carves each input as pngcarve does, the same images under
// the same names, and writes a record of every image to standard output as
// it goes: DFXML, or with --csv the page's report format. With -n it writes
// no images, only the record, with the hashes the images would have.
// An image whose structure check fails is then rebuilt from the input's
// pieces, or its rows before the break salvaged (report/mending.h), where
// the input can be read again; --no-mend leaves them be.
// Progress goes to standard error when that is a terminal. Exit status 0, 1
// when an input could not be opened or read, an image could not be written
// (the run stops there, as pngcarve's does) or the record could not be
// written, and 2 for a command line it can't follow.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "handoff.h"
#include "mending.h"
#include "platform.h"
#include "png_extract.h"
#include "record.h"
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
    "      --no-mend  do not rebuild or salvage images whose check fails\n"
    "      --help     show this help and exit\n"
    "      --version  show the version and exit\n"
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
  std::vector<std::string> inputs;
};

// What is known of an image from its bytes as they go by; at its end, its
// record goes to standard output, with the structure check the carve made.
class Image : public ImageSink {
 public:
  explicit Image(bool csv) : csv_(csv) {}

  // False when an image's hashes could not be had (out of memory) since
  // it was last asked.
  bool take_hashed() { return std::exchange(hashed_, true); }

  void start(const std::string& input, const std::string& output,
             uint64_t offset) override {
    record_.input = input;
    record_.output = output;
    trace_.start(offset, &record_);
  }

  void push(const unsigned char* data, size_t n) override {
    trace_.push(data, n);
  }

  void end(uint64_t run_length, bool iend, const char* check) override {
    record_.run_length = run_length;
    record_.iend = iend;
    record_.check = check;
    try {
      hashed_ = trace_.end(&record_) && hashed_;
      std::fputs((csv_ ? csv_row(record_) : dfxml_fileobject(record_)).c_str(),
                 stdout);
    } catch (const std::bad_alloc&) {
      hashed_ = false;  // its record is lost with them
    }
  }

 private:
  const bool csv_;
  bool hashed_ = true;
  ImageRecord record_;
  ImageTrace trace_;
};

// What the carve of one input tells: each image's structure check is made
// here, on the carving thread, and the image handed over to the second.
class Carve : public CarveSink {
 public:
  // `tags`, when given, is told every IDAT and IEND tag of the input.
  Carve(const std::string& path, bool writes, StructureCheck* check,
        Handoff* handoff, TagIndex* tags)
      : path_(path),
        writes_(writes),
        check_(check),
        handoff_(handoff),
        tags_(tags) {}

  // The last output named: the one being written when the carve stopped.
  const std::string& output() const { return output_; }
  // The images whose check failed, in order.
  const std::vector<Broken>& broken() const { return broken_; }

  void start(uint64_t offset) override {
    offset_ = offset;
    output_ = output_name(path_, count_++);
    check_->start();
    handoff_->start(path_, output_, offset);
  }
  void bytes(const unsigned char* data, size_t n) override {
    check_->push(data, n);
    handoff_->push(data, n);
  }
  void end(uint64_t run_length, bool iend) override {
    const char* check = check_->end(!iend);
    if (std::strcmp(check, "ok") != 0)
      broken_.push_back({offset_, run_length, output_});
    else if (tags_ != nullptr)
      tags_->claim(offset_, run_length);
    handoff_->end(run_length, iend, check);
  }
  bool writes() const override { return writes_; }
  bool sees_input() const override { return tags_ != nullptr; }
  void input(const unsigned char* data, size_t n) override {
    tags_->push(data, n);
  }

 private:
  const std::string& path_;
  const bool writes_;
  StructureCheck* check_;
  Handoff* handoff_;
  TagIndex* tags_;
  int64_t count_ = 0;
  uint64_t offset_ = 0;
  std::string output_;
  std::vector<Broken> broken_;
};

// Returns 0 with `options` filled, or the exit status to end with.
int parse(const std::vector<std::string>& args, Options* options) {
  bool files_only = false;
  for (const std::string& arg : args) {
    if (files_only || arg.size() < 2 || arg[0] != '-') {
      options->inputs.push_back(arg);
    } else if (arg == "--") {
      files_only = true;
    } else if (arg == "--csv") {
      options->csv = true;
    } else if (arg == "-n" || arg == "--dry-run") {
      options->dry_run = true;
    } else if (arg == "--no-mend") {
      options->mend = false;
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return std::fclose(stdout) == 0 ? -1 : 1;
    } else if (arg == "--version") {
      std::fputs("pngcarve-report " PNGCARVE_VERSION "\n", stdout);
      return std::fclose(stdout) == 0 ? -1 : 1;
    } else {
      std::fprintf(stderr, "pngcarve-report: unknown option '%s'\n%s",
                   arg.c_str(), kUsage);
      return 2;
    }
  }
  if (options->inputs.empty()) {
    std::fprintf(stderr, "pngcarve-report: no FILE given\n%s", kUsage);
    return 2;
  }
  return 0;
}

// `args`: the arguments after the program's name.
int run(const std::string& program, const std::vector<std::string>& args) {
  Options options;
  int parsed = parse(args, &options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  std::string command_line = program;
  for (const std::string& arg : args) command_line += ' ' + arg;
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
  Image image(options.csv);
  int status = 0;
  std::string path_now;  // the input being carved or mended
  try {
    // The second thread lives in this block: it has told and written all
    // before the record's end is written and standard output closed.
    Handoff handoff(&image);
    StructureCheck check;
    for (const std::string& path : options.inputs) {
      path_now = path;
      std::FILE* file = open_file(path, "rb");
      if (file == nullptr) {
        failed(path,
               std::string("could not be opened: ") + std::strerror(errno));
        status = 1;
        continue;
      }
      if (is_directory(file)) {
        std::fclose(file);
        failed(path, "is a folder, not a file");
        status = 1;
        continue;
      }
      // Where broken images can be mended, the tags they are mended by are
      // noted as the input is carved.
      const bool mendable = options.mend && can_read_at(file);
      TagIndex tags;
      Carve carve(path, !options.dry_run, &check, &handoff,
                  mendable ? &tags : nullptr);
      ExtractResult result = png_extract_stream(
          file, path, console ? console : stderr, terminal, &carve);
      const std::string& output = carve.output();
      handoff.drain();  // this input's records are all written
      if (!image.take_hashed()) {
        failed(path, "an image's hashes could not be computed (out of memory)");
        status = 1;
      }
      if (result == ExtractResult::kReadFailed) {
        failed(path, kReadFailedText);
        status = 1;
      } else if (result == ExtractResult::kOk && options.mend &&
                 !carve.broken().empty()) {
        if (!mendable) {
          noted(path,
                "can't be read again, so its broken images were not mended");
        } else {
          tags.done();
          if (tags.overflowed()) noted(path, kTagsOverflowedText);
          const std::string wrong = mend_images(
              file, path, tags, carve.broken(), !options.dry_run,
              [&options](const ImageRecord& record) {
                std::fputs(
                    (options.csv ? csv_row(record) : dfxml_fileobject(record))
                        .c_str(),
                    stdout);
              },
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
      std::fclose(file);
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
  if (!options.csv) std::fputs(dfxml_end(failures, notes).c_str(), stdout);
  bool record_ok = !std::ferror(stdout);
  if (std::fclose(stdout) != 0 || !record_ok) {
    std::fputs("pngcarve-report: the record could not be written\n", stderr);
    status = 1;
  }
  return status;
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
