#include "part.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "paths.h"
#include "platform.h"

namespace pngcarve {

namespace {

constexpr char kFirstLine[] = "pngcarve-part 1";

std::string escape(const std::string& text) {
  if (text.empty()) return "-";
  std::string out;
  for (unsigned char c : text) {
    if (c <= ' ' || c == '%' || c == 0x7F || (text == "-" && c == '-')) {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A hexadecimal digit's value (as hex() writes them, or as %XX), or -1.
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unescape(const std::string& field, std::string* text) {
  text->clear();
  if (field == "-") return true;
  for (size_t k = 0; k < field.size(); ++k) {
    if (field[k] != '%') {
      *text += field[k];
      continue;
    }
    if (k + 2 >= field.size()) return false;
    const int high = hex_digit(field[k + 1]), low = hex_digit(field[k + 2]);
    if (high < 0 || low < 0) return false;
    *text += static_cast<char>(high * 16 + low);
    k += 2;
  }
  return true;
}

std::string number(uint64_t n) { return std::to_string(n); }

bool parse_number(const std::string& field, uint64_t* n) {
  const char* end = field.data() + field.size();
  const auto [at, error] = std::from_chars(field.data(), end, *n);
  return error == std::errc() && at == end && !field.empty();
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  for (size_t from = 0; from < line.size();) {
    const size_t to = std::min(line.find(' ', from), line.size());
    if (to > from) fields.emplace_back(line, from, to - from);
    from = to + 1;
  }
  return fields;
}

bool unhex(const std::string& text, unsigned char* out, size_t n) {
  if (text.size() != 2 * n) return false;
  for (size_t k = 0; k < n; ++k) {
    const int high = hex_digit(text[2 * k]), low = hex_digit(text[2 * k + 1]);
    if (high < 0 || low < 0) return false;
    out[k] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

bool read_image(const std::vector<std::string>& f, PartImage* image) {
  if (f.size() != 15) return false;
  ImageRecord& r = image->record;
  uint64_t iend = 0, sized = 0, width = 0, height = 0, hashed = 0;
  if (!parse_number(f[1], &r.offset) || !parse_number(f[2], &r.run_length) ||
      !parse_number(f[3], &iend) || !parse_number(f[4], &r.size) ||
      !parse_number(f[5], &sized) || !parse_number(f[6], &width) ||
      !parse_number(f[7], &height) || !parse_number(f[8], &hashed) ||
      width > UINT32_MAX || height > UINT32_MAX || !unescape(f[10], &r.check) ||
      !parse_number(f[11], &r.hidden_count) ||
      !unescape(f[13], &r.not_written) || !unescape(f[14], &image->file))
    return false;
  r.iend = iend != 0;
  r.sized = sized != 0;
  r.width = static_cast<uint32_t>(width);
  r.height = static_cast<uint32_t>(height);
  r.hashed = hashed != 0;
  if (r.hashed && !unhex(f[9], r.digests.data(), r.digests.size()))
    return false;
  if (f[12] != "-") {
    std::istringstream list(f[12]);
    for (std::string item; std::getline(list, item, ',');) {
      uint64_t at = 0;
      if (!parse_number(item, &at)) return false;
      r.hidden.push_back(at);
    }
  }
  return true;
}

}  // namespace

std::string part_head(const Part& part) {
  std::string head = std::string(kFirstLine) + "\ninput " + escape(part.input) +
                     "\nidentity " + escape(part.identity) + "\nargs";
  for (const std::string& arg : part.args) head += ' ' + escape(arg);
  head += part.source ? "\nsource\n"
                      : "\nrange " + number(part.start) + ' ' +
                            (part.length == kToTheEnd ? std::string("-")
                                                      : number(part.length)) +
                            '\n';
  return head;
}

std::string part_image(const ImageRecord& r, const std::string& file) {
  std::string hidden;
  for (uint64_t at : r.hidden) {
    if (!hidden.empty()) hidden += ',';
    hidden += number(at);
  }
  return "image " + number(r.offset) + ' ' + number(r.run_length) + ' ' +
         number(r.iend) + ' ' + number(r.size) + ' ' + number(r.sized) + ' ' +
         number(r.width) + ' ' + number(r.height) + ' ' + number(r.hashed) +
         ' ' + (r.hashed ? hex(r.digests.data(), r.digests.size()) : "-") +
         ' ' + escape(r.check) + ' ' + number(r.hidden_count) + ' ' +
         (hidden.empty() ? "-" : hidden) + ' ' + escape(r.not_written) + ' ' +
         escape(file) + '\n';
}

std::string part_not_carved(uint64_t offset) {
  return "ihdr " + number(offset) + '\n';
}

std::string part_chunk_tag(uint64_t offset) {
  return "chunk " + number(offset) + '\n';
}

std::string part_tail(const Part& part) {
  std::string tail;
  for (const std::string& failure : part.failures)
    tail += "failure " + escape(failure) + '\n';
  if (!part.source) tail += "read_to " + number(part.read_to) + '\n';
  if (part.stopped) tail += "stopped\n";
  if (part.source) {
    const SourceRecord& s = part.hashes;
    tail += "hashes " + escape(s.container) + ' ' + number(s.bytes_read) + ' ' +
            number(s.whole) + ' ' + escape(s.md5) + ' ' + escape(s.sha256) +
            ' ' + escape(s.sha1) + ' ' + escape(s.stored_md5) + ' ' +
            escape(s.stored_sha1);
    for (const std::string& segment : s.segments) tail += ' ' + escape(segment);
    tail += '\n';
  }
  return tail + "end\n";
}

namespace {

std::string parse_part(const std::string& text, Part* part) {
  size_t from = text.find('\n');
  if (from == std::string::npos || text.compare(0, from, kFirstLine) != 0)
    return "is not a part written by pngcarve-report --range";
  bool ended = false;
  std::string line;
  for (size_t n = 2; ++from < text.size(); ++n) {
    const size_t to = std::min(text.find('\n', from), text.size());
    line.assign(text, from, to - from);
    from = to;
    const std::vector<std::string> f = fields_of(line);
    const std::string what = f.empty() ? "" : f[0];
    uint64_t at = 0;
    std::string text_field;
    bool ok = !ended;
    if (what == "input" || what == "identity" || what == "failure") {
      ok = ok && f.size() == 2 && unescape(f[1], &text_field);
      if (what == "input") part->input = text_field;
      if (what == "identity") part->identity = text_field;
      if (what == "failure") part->failures.push_back(text_field);
    } else if (what == "args") {
      for (size_t k = 1; ok && k < f.size(); ++k) {
        ok = unescape(f[k], &text_field);
        part->args.push_back(text_field);
      }
    } else if (what == "read_to") {
      ok = ok && f.size() == 2 && parse_number(f[1], &part->read_to);
    } else if (what == "stopped") {
      part->stopped = true;
    } else if (what == "source") {
      part->source = true;
    } else if (what == "range") {
      ok = ok && f.size() == 3 && parse_number(f[1], &part->start) &&
           (f[2] == "-" || parse_number(f[2], &part->length));
    } else if (what == "image") {
      PartImage image;
      ok = ok && read_image(f, &image);
      part->images.push_back(std::move(image));
    } else if (what == "ihdr" || what == "chunk") {
      ok = ok && f.size() == 2 && parse_number(f[1], &at);
      (what == "ihdr" ? part->not_carved : part->chunk_tags).push_back(at);
    } else if (what == "hashes") {
      SourceRecord& s = part->hashes;
      uint64_t whole = 0;
      ok = ok && f.size() >= 9 && unescape(f[1], &s.container) &&
           parse_number(f[2], &s.bytes_read) && parse_number(f[3], &whole) &&
           unescape(f[4], &s.md5) && unescape(f[5], &s.sha256) &&
           unescape(f[6], &s.sha1) && unescape(f[7], &s.stored_md5) &&
           unescape(f[8], &s.stored_sha1);
      s.whole = whole != 0;
      for (size_t k = 9; ok && k < f.size(); ++k) {
        ok = unescape(f[k], &text_field);
        s.segments.push_back(text_field);
      }
    } else if (what == "end") {
      ended = true;
    } else {
      ok = false;
    }
    if (!ok)
      return "is not a whole part: line " + std::to_string(n) + " is wrong";
  }
  if (!ended)
    return "was cut short (its carve did not finish): run its range again";
  return "";
}

}  // namespace

std::string read_part(const std::string& path, Part* part) {
  std::FILE* file = open_file(path, "rb");
  if (file == nullptr)
    return "could not be opened: " + std::string(std::strerror(errno));
  const std::string wrong = read_part(file, part);
  std::fclose(file);
  return wrong;
}

std::string read_part(std::FILE* file, Part* part) {
  std::string text;
  std::rewind(file);
  char buf[1 << 16];
  for (size_t got; (got = std::fread(buf, 1, sizeof buf, file)) > 0;)
    text.append(buf, got);
  if (std::ferror(file) != 0) return "could not be read";
  return parse_part(text, part);
}

std::string identity_of(const std::vector<std::string>& files) {
  std::string identity;
  for (const std::string& name : files) {
    std::error_code error;
    const std::filesystem::path path = fs_path(name);
    const uint64_t size = std::filesystem::file_size(path, error);
    const auto time = std::filesystem::last_write_time(path, error);
    if (!identity.empty()) identity += ' ';
    identity += name + ' ' + (error ? "?" : std::to_string(size)) + ' ' +
                std::to_string(time.time_since_epoch().count());
  }
  return identity;
}

}  // namespace pngcarve
