#include "record.h"

#include <ctime>
#include <tuple>

namespace pngcarve {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// A name quoted as RFC 4180 has it, and only when it must be.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

// The length of the UTF-8 sequence at `s[i]`, or 0 if there is none.
size_t utf8_length(const std::string& s, size_t i) {
  auto byte = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t n;
  uint32_t code;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates, past U+10FFFF, and U+FFFE and U+FFFF,
  // which XML does not allow either.
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[n] || (code >= 0xD800 && code <= 0xDFFF) ||
      code > 0x10FFFF || code == 0xFFFE || code == 0xFFFF)
    return 0;
  return n;
}

// The input bytes an image's output holds from its offset 16 on: a carved
// image's run, a mended one's pieces, none of a salvaged one's.
std::vector<Piece> runs_of(const ImageRecord& image) {
  if (image.from.empty()) return {{image.offset + 4, image.run_length}};
  return image.pieces;
}

std::string tag(const char* name, const std::string& text) {
  return std::string("<") + name + ">" + text + "</" + name + ">";
}

}  // namespace

std::string utc_now() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string hex(const unsigned char* bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string text(2 * n, '0');
  for (size_t i = 0; i < n; ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 15];
  }
  return text;
}

std::string csv_header() {
  return "input,output,offset,run_start,run_length,size,ending,width,height,"
         "sha256,check,pieces,rows,parent,not_written,not_carved\n";
}

std::string csv_row(const ImageRecord& image) {
  std::string row = csv_field(image.input) + ',' + csv_field(image.output);
  for (uint64_t n :
       {image.offset, image.offset + 4, image.run_length, image.size})
    row += ',' + std::to_string(n);
  row += image.iend ? ",iend," : ",cut,";
  if (image.sized)
    row += std::to_string(image.width) + ',' + std::to_string(image.height);
  else
    row += ',';
  row += ',' + (image.hashed ? hex(image.digests.data(), kSha256Size) : "") +
         ',' + image.check + ',';
  const std::vector<Piece> runs = runs_of(image);
  for (const Piece& run : runs)
    row += std::to_string(run.offset) + '+' + std::to_string(run.length) +
           (run.uncertain ? "?" : "") + (&run == &runs.back() ? "" : ";");
  row += ',';
  if (!image.from.empty() && image.pieces.empty())  // salvaged
    row += std::to_string(image.rows) + '/' + std::to_string(image.height);
  return row + ',' + csv_field(image.parent) + ',' + image.not_written + ',' +
         std::to_string(image.not_carved) + '\n';
}

std::string xml_text(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = utf8_length(text, i);
    if (n == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
      out += kReplacement;
      i += n == 0 ? 1 : n;
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\r':
        out += "&#13;";
        break;  // kept, not made a line end
      default:
        out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string dfxml_begin(const Creator& creator,
                        const std::vector<std::string>& inputs) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/"
      "Category:Digital_Forensics_XML\"\n"
      "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
      "       xmlns:pngcarve=\"urn:pngcarve:report:1\"\n"
      "       version=\"2.0.0-beta.0\">\n"
      "  <metadata><dc:type>Carve Report</dc:type></metadata>\n"
      "  <creator>\n"
      "    " +
      tag("program", xml_text(creator.program)) + "\n    " +
      tag("version", xml_text(creator.version)) +
      "\n"
      "    <execution_environment>\n";
  if (!creator.command_line.empty())
    xml +=
        "      " + tag("command_line", xml_text(creator.command_line)) + "\n";
  xml += "      " + tag("start_time", creator.start_time) +
         "\n"
         "    </execution_environment>\n"
         "  </creator>\n"
         "  <source>\n";
  for (const std::string& input : inputs)
    xml += "    " + tag("image_filename", xml_text(input)) + "\n";
  return xml + "  </source>\n";
}

std::string dfxml_fileobject(const ImageRecord& image) {
  std::string xml =
      "  <fileobject>\n    " + tag("filename", xml_text(image.output)) + "\n";
  if (!image.iend)
    xml += "    <error>cut: the input ended inside the image</error>\n";
  const std::vector<Piece> runs = runs_of(image);
  xml += "    " + tag("filesize", std::to_string(image.size)) + "\n";
  if (!runs.empty()) {
    xml += "    <byte_runs>";
    uint64_t at = 16;  // after the signature and the IHDR length and tag
    for (const Piece& run : runs) {
      xml += "<byte_run file_offset=\"" + std::to_string(at) +
             "\" img_offset=\"" + std::to_string(run.offset) + "\" len=\"" +
             std::to_string(run.length) + "\"" +
             (run.uncertain ? " pngcarve:uncertain=\"true\"" : "") + "/>";
      at += run.length;
    }
    xml += "</byte_runs>\n";
  }
  if (image.hashed)
    xml += "    <hashdigest type=\"sha256\">" +
           hex(image.digests.data(), kSha256Size) + "</hashdigest>\n" +
           "    <hashdigest type=\"md5\">" +
           hex(image.digests.data() + kSha256Size, kMd5Size) +
           "</hashdigest>\n";
  xml += "    " + tag("pngcarve:input", xml_text(image.input)) + "\n" + "    " +
         tag("pngcarve:ihdr_offset", std::to_string(image.offset)) + "\n" +
         "    " + tag("pngcarve:ending", image.iend ? "iend" : "cut") + "\n";
  if (image.sized)
    xml += "    " + tag("pngcarve:width", std::to_string(image.width)) + "\n" +
           "    " + tag("pngcarve:height", std::to_string(image.height)) + "\n";
  xml += "    " + tag("pngcarve:check", image.check) + "\n";
  if (!image.parent.empty())
    xml += "    " + tag("pngcarve:parent", xml_text(image.parent)) + "\n";
  if (!image.not_written.empty())
    xml += "    " + tag("pngcarve:not_written", image.not_written) + "\n";
  if (image.not_carved)
    xml += "    " +
           tag("pngcarve:not_carved_count", std::to_string(image.not_carved)) +
           "\n";
  if (!image.from.empty())
    xml += "    " +
           tag(image.pieces.empty() ? "pngcarve:salvaged_from"
                                    : "pngcarve:mended_from",
               xml_text(image.from)) +
           "\n";
  if (!image.from.empty() && image.pieces.empty())
    xml += "    " + tag("pngcarve:rows", std::to_string(image.rows)) + "\n";
  if (!image.note.empty())
    xml += "    " + tag("pngcarve:note", xml_text(image.note)) + "\n";
  if (image.hidden_count)
    xml +=
        "    " +
        tag("pngcarve:hidden_ihdr_count", std::to_string(image.hidden_count)) +
        "\n";
  for (uint64_t offset : image.hidden)
    xml += "    " + tag("pngcarve:hidden_ihdr_offset", std::to_string(offset)) +
           "\n";
  return xml + "  </fileobject>\n";
}

void verify(SourceRecord* source) {
  std::string good, bad;
  for (const auto& [name, stored, made] :
       {std::tuple{"md5", &source->stored_md5, &source->md5},
        std::tuple{"sha1", &source->stored_sha1, &source->sha1}}) {
    if (stored->empty()) continue;
    (*stored == *made ? good : bad) += std::string(" ") + name;
  }
  if (good.empty() && bad.empty())
    source->verification.clear();
  else if (!source->whole)
    source->verification = "not read to its end";
  else if (!bad.empty())
    source->verification = "failed:" + bad;
  else
    source->verification = "verified:" + good;
}

std::string csv_source_header() {
  return "input,container,segments,bytes_read,md5,sha256,stored_md5,"
         "stored_sha1,verification\n";
}

std::string csv_source_row(const SourceRecord& source) {
  std::string row = csv_field(source.input) + ',' + source.container + ',' +
                    std::to_string(source.segments.size()) + ',' +
                    std::to_string(source.bytes_read);
  for (const std::string* cell :
       {&source.md5, &source.sha256, &source.stored_md5, &source.stored_sha1,
        &source.verification})
    row += ',' + *cell;
  return row + '\n';
}

std::string dfxml_source(const SourceRecord& source) {
  std::string xml = "  <pngcarve:source>\n    " +
                    tag("image_filename", xml_text(source.input)) + "\n    " +
                    tag("pngcarve:container", source.container) + "\n";
  for (const std::string& segment : source.segments)
    xml += "    " + tag("pngcarve:segment", xml_text(segment)) + "\n";
  xml += "    " +
         tag("pngcarve:bytes_read", std::to_string(source.bytes_read)) + "\n";
  if (!source.whole) xml += "    <error>not read to its end</error>\n";
  for (const auto& [type, digest, stored] :
       {std::tuple{"md5", &source.md5, &source.stored_md5},
        std::tuple{"sha1", &source.sha1, &source.stored_sha1},
        std::tuple{"sha256", &source.sha256, &source.sha256}}) {
    if (!digest->empty())
      xml += std::string("    <hashdigest type=\"") + type + "\">" + *digest +
             "</hashdigest>\n";
    if (stored != &source.sha256 && !stored->empty())
      xml += std::string("    <pngcarve:stored_hashdigest type=\"") + type +
             "\">" + *stored + "</pngcarve:stored_hashdigest>\n";
  }
  if (!source.verification.empty())
    xml += "    " + tag("pngcarve:verification", source.verification) + "\n";
  return xml + "  </pngcarve:source>\n";
}

std::string dfxml_end(
    const std::vector<std::pair<std::string, std::string>>& failures,
    const std::vector<std::pair<std::string, std::string>>& notes) {
  std::string xml;
  for (const auto& [input, what] : failures)
    xml += "  <pngcarve:failure input=\"" + xml_text(input) + "\">" +
           xml_text(what) + "</pngcarve:failure>\n";
  for (const auto& [input, what] : notes)
    xml += "  <pngcarve:note input=\"" + xml_text(input) + "\">" +
           xml_text(what) + "</pngcarve:note>\n";
  return xml + "</dfxml>\n";
}

}  // namespace pngcarve
