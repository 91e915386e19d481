// End-to-end tests of pngcarve-report: the record it writes against the
// images it writes, its options, and its failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "disk.h"
#include "part.h"
#include "png_builder.h"
#include "report_runner.h"
#include "tag_index.h"
#include "tool_runner.h"

namespace fs = std::filesystem;
using namespace testutil;

namespace {

class ReportTest : public TempDirTest {};

// One input of every kind the record must tell apart, and a run-on image
// that hides another.
TEST_F(ReportTest, RecordMatchesTheImagesWrittenAndValidates) {
  std::string whole = make_png(sized(5, 4, 1));
  std::string bad = make_png(sized(3, 3, 2));
  bad[bad.size() - 13] ^= 1;  // IDAT's CRC
  std::string hidden = make_png(sized(2, 2, 3));
  // A tEXt whose length runs on over the next image: its IHDR is hidden.
  std::string runs_on = make_png(sized(4, 4, 4));
  std::string cut = make_png(sized(6, 6, 5));
  std::string input = filler(100, 1) + whole + filler(50, 2) +
                      whole.substr(8) +  // no signature
                      bad + whole +      // the last a duplicate
                      runs_on.substr(0, 33) + chunk("quiI", "HDR") +
                      be32(20 + hidden.size()) + "tEXt" + std::string(20, 'x') +
                      hidden + "CRC!" + runs_on.substr(33) +
                      cut.substr(0, cut.size() - 30);
  write_file(dir_ / "in.bin", input);
  // Then the two whose data is broken, salvaged to the rows that came out
  // whole: all of the one whose only fault is its CRC, and all but the row
  // the input ends in of the one cut short.
  // The run-on image holds a junk one, begun by the tag across the chunk,
  // which holds the hidden image: each is recorded as it ends, and the junk
  // is not written.
  const std::vector<std::string> checks = {"ok",       "ok",      "crc",  "ok",
                                           "ok",       "crc",     "junk", "cut",
                                           "salvaged", "salvaged"};
  const std::vector<std::string> parents = {
      "", "", "", "", "in.bin.0004+0000.png", "", "in.bin.0004.png",
      "", "", ""};

  Result dry = report(dir_, {"--csv", "-n", "in.bin"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_FALSE(fs::exists(dir_ / "in.bin.0000.png"));
  Result csv = report(dir_, {"--csv", "in.bin"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, dry.out);
  auto rows = csv_rows(csv.out);
  ASSERT_EQ(rows.size(), 1 + checks.size()) << csv.out;
  EXPECT_EQ(rows[0][10], "check");
  for (size_t i = 1; i < rows.size(); ++i) {
    const auto& r = rows[i];
    ASSERT_EQ(r.size(), 16u) << csv.out;
    EXPECT_EQ(r[10], checks[i - 1]) << r[1];
    EXPECT_EQ(r[13], parents[i - 1]) << r[1];
    EXPECT_EQ(r[14], r[10] == "junk" ? "junk" : "") << r[1];
    EXPECT_EQ(fs::exists(dir_ / r[1]), r[14].empty()) << r[1];
    if (!r[14].empty()) continue;
    std::string image = read_file(dir_ / r[1]);
    uint64_t start = std::stoull(r[3]), length = std::stoull(r[4]);
    EXPECT_EQ(std::stoull(r[2]) + 4, start);
    EXPECT_EQ(image.substr(16, length), input.substr(start, length)) << r[1];
    EXPECT_EQ(std::to_string(image.size()), r[5]) << r[1];
    EXPECT_EQ(hash_of("sha256sum", dir_ / r[1]), r[9]) << r[1];
    if (r[10] == "salvaged")
      EXPECT_EQ(r[12], i == 9 ? "3/3" : "5/6") << r[1];
    else
      EXPECT_EQ(r[11], r[3] + '+' + r[4]) << r[1];
  }

  Result xml = report(dir_, {"-n", "in.bin"});
  ASSERT_EQ(xml.status, 0) << xml.err;
  write_file(dir_ / "report.xml", xml.out);
  EXPECT_EQ(output_of("xmllint --noout --schema '" PNGCARVE_DFXML_SCHEMA "' '" +
                      (dir_ / "report.xml").string() + "' 2>&1"),
            (dir_ / "report.xml").string() + " validates\n");
  for (const auto& r : std::vector(rows.begin() + 1, rows.end())) {
    if (!r[14].empty()) continue;
    EXPECT_NE(xml.out.find("<hashdigest type=\"md5\">" +
                           hash_of("md5sum", dir_ / r[1])),
              std::string::npos)
        << r[1];
  }
  // The run-on image names the IHDR tags inside its run, one across a
  // chunk's type and data; so does the junk one, with the last image's.
  for (size_t at :
       {input.find("IHDR", input.find("quiI")), input.find(hidden) + 12}) {
    EXPECT_NE(xml.out.find("<pngcarve:hidden_ihdr_offset>" +
                           std::to_string(at) + "<"),
              std::string::npos)
        << at << xml.out;
  }
  const std::string count = "<pngcarve:hidden_ihdr_count>";
  EXPECT_NE(xml.out.find(count + "2<"), std::string::npos);
  EXPECT_NE(xml.out.find("<pngcarve:parent>in.bin.0004+0000.png<"),
            std::string::npos);
  EXPECT_NE(
      xml.out.find("<error>cut: the input ended inside the image</error>"),
      std::string::npos);

  // An image in two pieces whose second a copy elsewhere holds too: the
  // piece is marked uncertain, and the record still validates.
  constexpr size_t kCluster = 4096;
  const std::string png = make_png(sized(120, 100, 6, 4));
  std::string disk = filler(64 * kCluster, 3);
  disk.replace(2 * kCluster, 3 * kCluster, png, 0, 3 * kCluster);
  for (size_t at : {20 * kCluster, 40 * kCluster})
    disk.replace(at, png.size() - 3 * kCluster, png, 3 * kCluster);
  write_file(dir_ / "copies.img", disk);
  csv = report(dir_, {"--csv", "-n", "copies.img"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  rows = csv_rows(csv.out);
  ASSERT_EQ(rows.size(), 3u) << csv.out;
  EXPECT_EQ(rows[2][11], std::to_string(2 * kCluster + 16) + "+" +
                             std::to_string(3 * kCluster - 16) + ";" +
                             std::to_string(20 * kCluster) + "+" +
                             std::to_string(png.size() - 3 * kCluster) + "?");
  xml = report(dir_, {"-n", "copies.img"});
  write_file(dir_ / "copies.xml", xml.out);
  EXPECT_NE(xml.out.find(" pngcarve:uncertain=\"true\"/>"), std::string::npos);
  EXPECT_EQ(output_of("xmllint --noout --schema '" PNGCARVE_DFXML_SCHEMA "' '" +
                      (dir_ / "copies.xml").string() + "' 2>&1"),
            (dir_ / "copies.xml").string() + " validates\n");
}

// A chance tag in data that is no PNG's: its IHDR CRC fails and its fields
// are none, and a chunk length after it runs on to the input's end.
std::string chance_tag(char fill) {
  return "IHDR" + std::string(17, fill) + be32(0x7FFFFFF0) + "tEXt";
}

// What is carved and written, and what only recorded: junk and the images
// inside runs, past the bound on those carved at once, and the filters.
TEST_F(ReportTest, ImagesInsideRunsAndFiltersAreAllRecorded) {
  const std::string big = make_png(sized(5, 4, 1));
  const std::string tiny = make_png(sized(2, 2, 2));
  std::string damaged = make_png(sized(4, 4, 3));
  damaged[29] ^= 1;  // its IHDR's CRC; its fields are sound
  // Every chance tag runs on to the end and holds the next: 20 deep, past
  // the 16 carved at once. The images come before the first one, and the
  // last copy of `big` inside the deepest.
  std::string input = big + tiny + big + damaged + "--" + chance_tag('a');
  for (char c = 'b'; c < 'b' + 19; ++c) input += chance_tag(c);
  input += big;
  write_file(dir_ / "in.bin", input);

  Result r =
      report(dir_, {"--csv", "--min-size", "3x3", "--no-copies", "in.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = csv_rows(r.out);
  ASSERT_EQ(rows.size(), 1 + 5 + 16u) << r.out;
  // Each row: output, check, parent, not_written, not_carved.
  auto row = [&](size_t i) {
    return rows[i][1] + " " + rows[i][10] + " " + rows[i][13] + " " +
           rows[i][14] + " " + rows[i][15];
  };
  EXPECT_EQ(row(1), "in.bin.0000.png ok   0");
  EXPECT_EQ(row(2), "in.bin.0001.png ok  small 0");
  EXPECT_EQ(row(3), "in.bin.0002.png ok  copy 0");
  EXPECT_EQ(row(4), "in.bin.0003.png crc   0");
  // The nested ones are cut where the input ends, in the order they began,
  // before the top-level one that holds them all; the 16th holds the 4 not
  // carved.
  std::string name = "in.bin.0004";
  std::vector<std::string> names;
  for (int depth = 0; depth < 16; ++depth)
    names.push_back((name += "+0000") + ".png");
  for (int k = 0; k < 16; ++k)
    EXPECT_EQ(row(5 + k), names[k] + " junk " +
                              (k == 0 ? "in.bin.0004.png" : names[k - 1]) +
                              " junk " + (k == 15 ? "4" : "0"));
  EXPECT_EQ(row(21), "in.bin.0004.png junk  junk 0");
  for (const char* written : {"in.bin.0000.png", "in.bin.0003.png"})
    EXPECT_TRUE(fs::exists(dir_ / written)) << written;
  for (const char* unwritten :
       {"in.bin.0001.png", "in.bin.0002.png", "in.bin.0004.png"})
    EXPECT_FALSE(fs::exists(dir_ / unwritten)) << unwritten;
  EXPECT_NE(r.err.find("in.bin: 4 IHDR tags inside other images' runs began "
                       "no image of their own"),
            std::string::npos)
      << r.err;

  // --all writes every image pngcarve writes, junk too, byte for byte.
  r = report(dir_, {"--csv", "--all", "in.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(csv_rows(r.out)[21][14], "");
  fs::create_directory(dir_ / "pngcarve");
  write_file(dir_ / "pngcarve" / "in.bin", input);
  ASSERT_EQ(run_tool(dir_ / "pngcarve", {"in.bin"}).status, 0);
  for (int n = 0; n < 5; ++n) {
    const std::string name = "in.bin.000" + std::to_string(n) + ".png";
    EXPECT_EQ(read_file(dir_ / name), read_file(dir_ / "pngcarve" / name));
  }
  EXPECT_NE(r.err.find("pngcarve-report: in.bin: 4 IHDR tags"),
            std::string::npos);
  EXPECT_EQ(report(dir_, {"--min-size", "3", "in.bin"}).status, 2);
}

// Images inside a run are recorded in the order they end, however the
// input's bytes came in: one begun inside another that ends first comes
// first, though both end in one read.
TEST_F(ReportTest, NestedImagesAreRecordedInTheOrderTheyEnd) {
  const std::string crc(4, '\0');
  const std::string inner = "IHDR" + std::string(17, '\0') + be32(1) + "IDAT" +
                            "y" + crc + be32(0) + "IEND";
  const std::string outer = "IHDR" + std::string(17, '\0') +
                            be32(static_cast<uint32_t>(inner.size() + 10)) +
                            "tEXt" + inner + std::string(10, '-') + crc +
                            be32(1) + "IDAT" + "x" + crc + be32(0) + "tEXt";
  write_file(dir_ / "in.bin", chance_tag('a') + outer + "rest");
  Result r = report(dir_, {"--csv", "-n", "in.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = csv_rows(r.out);
  ASSERT_EQ(rows.size(), 4u) << r.out;
  EXPECT_EQ(rows[1][1], "in.bin.0000+0000+0000.png");
  EXPECT_EQ(rows[2][1], "in.bin.0000+0000.png");
  EXPECT_EQ(rows[3][1], "in.bin.0000.png");
}

// The files in `dir` but those named `but`, with their bytes.
std::map<std::string, std::string> files_in(const fs::path& dir,
                                            const std::string& but) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().filename() != but)
      files[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
  return files;
}

// The tool's own lines of `err`, without a runtime's (a coverage build's).
std::string said(const std::string& err) {
  std::istringstream lines(err);
  std::string own;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("pngcarve-report: ", 0) == 0) own += line + '\n';
  return own;
}

std::string without_time(std::string record) {
  const size_t from = record.find("<start_time>");
  if (from != std::string::npos)
    record.erase(from, record.find("</start_time>") - from);
  return record;
}

// Carves `input` in `dir` once whole (in one/) and once in the ranges
// `cuts` begin (in ranges/), with `args`, and expects the same record, but
// for its time, and the same files. Returns the --merge command line.
std::vector<std::string> expect_ranges_as_one(
    const fs::path& dir, const std::string& input, std::vector<uint64_t> cuts,
    const std::vector<std::string>& args) {
  for (const char* sub : {"one", "ranges"}) {
    fs::create_directory(dir / sub);
    write_file(dir / sub / "in.bin", input);
  }
  Result one = report(dir / "one", args);
  EXPECT_EQ(one.status, 0) << one.err;
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<std::string> merge = {"--merge"};
  auto part = [&](const std::string& name, std::vector<std::string> how) {
    how.insert(how.end(), args.begin(), args.end());
    const int out =
        ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(report(dir / "ranges", how, out).status, 0) << how[1];
    ::close(out);
    merge.push_back("../" + name);
  };
  for (size_t k = 0; k < cuts.size(); ++k)
    part(std::to_string(k) + ".part",
         {"--range",
          std::to_string(cuts[k]) + ":" +
              (k + 1 < cuts.size() ? std::to_string(cuts[k + 1] - cuts[k])
                                   : "")});
  part("source.part", {"--source-part"});
  Result merged = report(dir / "ranges", merge);
  EXPECT_EQ(merged.status, 0) << merged.err;
  EXPECT_EQ(without_time(merged.out), without_time(one.out));
  EXPECT_EQ(said(merged.err), said(one.err));
  EXPECT_EQ(files_in(dir / "ranges", "in.bin"),
            files_in(dir / "one", "in.bin"));
  return merge;
}

// A carve in ranges put together is one run's, wherever the ranges part
// the input: at a tag, with a tag across the start, inside an image,
// inside chance tags' runs 20 deep past the 16 carved at once, with an
// image in pieces to mend; and in jobs.
TEST_F(ReportTest, RangesPutTogetherAreOneRun) {
  const std::string png = make_png(sized(200, 150, 7, 30));
  const Disk disk = lay(png, 640, {20, 300, 500}, {3, 2});
  const std::string big = make_png(sized(5, 4, 1));
  std::string damaged = make_png(sized(4, 4, 3));
  damaged[29] ^= 1;
  std::string input = disk.bytes + big + big + damaged + "--";
  for (char c = 'a'; c < 'a' + 20; ++c) input += chance_tag(c);
  input += big + make_png(sized(3, 3, 9));
  const std::vector<std::string> args = {"--min-size", "3x3", "--no-copies",
                                         "-o",         "out", "in.bin"};
  // Cuts at each tag, and one and three bytes into it.
  std::vector<uint64_t> cuts = {0, disk.ihdr_tag + 1000};
  for (size_t at = input.find("IHDR"); at != std::string::npos;
       at = input.find("IHDR", at + 1))
    for (size_t d : {0, 1, 3}) cuts.push_back(at + d);
  const std::vector<std::string> merge =
      expect_ranges_as_one(dir_, input, cuts, args);
  ASSERT_NE(read_file(dir_ / "one" / "out" / "in.bin.0000.mended.png"), "");

  fs::create_directory(dir_ / "jobs");
  write_file(dir_ / "jobs" / "in.bin", input);
  std::vector<std::string> jobs = {"--jobs", "3"};
  jobs.insert(jobs.end(), args.begin(), args.end());
  Result jobbed = report(dir_ / "jobs", jobs);
  ASSERT_EQ(jobbed.status, 0) << jobbed.err;
  EXPECT_EQ(without_time(jobbed.out),
            without_time(report(dir_ / "one", args).out));
  EXPECT_EQ(files_in(dir_ / "jobs", "in.bin"),
            files_in(dir_ / "one", "in.bin"));

  // A range left out, and the input changed since: each named, exit 1.
  std::vector<std::string> short_of = merge;
  short_of.erase(short_of.begin() + 2);
  Result r = report(dir_ / "ranges", short_of);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the ranges do not cover the input once each"),
            std::string::npos)
      << r.err;
  fs::last_write_time(
      dir_ / "ranges" / "in.bin",
      fs::last_write_time(dir_ / "ranges" / "in.bin") - std::chrono::hours(1));
  r = report(dir_ / "ranges", merge);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("in.bin changed since its parts were carved"),
            std::string::npos)
      << r.err;
}

// A range that began with none open carves tags the whole carve can't, 16
// of them past a cut while 16 images from before it are still open; once
// those end, the whole carve has room for an image the range had none for,
// which the merge carves alone.
TEST_F(ReportTest, RangesPutTogetherCarveWhatNoRangeCould) {
  std::string input = chance_tag('a');  // runs on to the end: holds all
  // 16 images, each in the one before, all ending at `end`.
  const size_t end = 4000;
  for (int k = 0; k < 16; ++k)
    input += "IHDR" + std::string(17, '\0') +
             be32(static_cast<uint32_t>(end - input.size() - 33)) + "tEXt";
  const size_t cut = input.size();
  for (char c = 'b'; c < 'b' + 17; ++c) input += chance_tag(c);
  input.resize(end, '\0');
  input += be32(3) + "IDAT" + "abc" + be32(0) + be32(1) + "tEXt";
  input += make_png(sized(4, 4, 3));
  expect_ranges_as_one(dir_, input, {0, cut}, {"--csv", "-o", "out", "in.bin"});
}

// A range that stops past its end with only junk open leaves its runs to
// the merge, which walks them together, header by header: here 17 of them,
// nested, over 300 KB of empty chunks, more than a range reads past its end.
TEST_F(ReportTest, RangesPutTogetherWalkTheJunkTheyStoppedIn) {
  std::string input;
  const size_t chunks_at = 17 * 29 + 100;
  for (char c = 'a'; c < 'a' + 17; ++c)
    input += "IHDR" + std::string(17, c) +
             be32(static_cast<uint32_t>(chunks_at - input.size() - 33)) +
             "tEXt";
  input.resize(chunks_at, '\0');
  for (int k = 0; k < 25000; ++k) input += be32(0) + "tEXt" + be32(0);
  input += make_png(sized(4, 4, 3));
  expect_ranges_as_one(dir_, input, {0, 300, 200000},
                       {"--csv", "--no-source-hash", "-o", "out", "in.bin"});
  // The first range stopped, short of the input's end.
  pngcarve::Part first;
  ASSERT_EQ(pngcarve::read_part((dir_ / "0.part").string(), &first), "");
  EXPECT_TRUE(first.stopped);
  EXPECT_LT(first.read_to, input.size());
}

// With an output folder, inputs of one name in two folders keep their
// images apart, twins with them, and nothing goes beside the inputs.
TEST_F(ReportTest, OutputFolderKeepsInputsOfOneNameApart) {
  std::string broken = make_png(sized(20, 20, 3));
  broken[broken.size() - 20] ^= 1;  // its IDAT's CRC: salvaged
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  write_file(dir_ / "a" / "x.bin", make_png({}) + broken);
  write_file(dir_ / "b" / "x.bin", make_png(sized(5, 4, 1)));
  Result r = report(dir_, {"--csv", "-o", "case/sub", "a/x.bin", "b/x.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> outputs;
  for (const auto& row : csv_rows(r.out))
    if (row[0] != "input") outputs.push_back(row[0] + " " + row[1]);
  EXPECT_EQ(outputs, (std::vector<std::string>{
                         "a/x.bin case/sub/x.bin.0000.png",
                         "a/x.bin case/sub/x.bin.0001.png",
                         "a/x.bin case/sub/x.bin.0001.salvaged.png",
                         "b/x.bin case/sub/2/x.bin.0000.png"}));
  for (const std::string& output : outputs)
    EXPECT_TRUE(fs::exists(dir_ / output.substr(output.find(' ') + 1)))
        << output;
  EXPECT_EQ(read_file(dir_ / "case/sub/2/x.bin.0000.png"),
            carved(make_png(sized(5, 4, 1))));
  EXPECT_FALSE(fs::exists(dir_ / "a" / "x.bin.0000.png"));
  // A folder that can't be made is named, and the next input carved.
  write_file(dir_ / "file", "");
  r = report(dir_, {"--csv", "-o", "file/case", "a/x.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("a/x.bin: could not make the folder file/case"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(report(dir_, {"-o"}).status, 2);
}

TEST_F(ReportTest, OptionsEndAtDoubleDash) {
  write_file(dir_ / "--csv", make_png({}));
  Result r = report(dir_, {"--", "--csv"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("<filename>--csv.0000.png</filename>"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(dir_ / "--csv.0000.png"));

  r = report(dir_, {"--csv", "--", "-x"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("-x: could not be opened"), std::string::npos) << r.err;

  r = report(dir_, {"-x", "--csv"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown option '-x'"), std::string::npos) << r.err;
  EXPECT_EQ(report(dir_, {}).status, 2);
  // The parts' options: a range of nothing, or of no number; jobs of none;
  // two files, or two kinds of part, for one carve; options to a merge.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"--range", "0:0", "a"},
           {"--range", "x:1", "a"},
           {"--range", "1", "a"},
           {"--range", "1:-2", "a"},
           {"--jobs", "0", "a"},
           {"--range", "0:5", "a", "b"},
           {"--jobs", "2", "--source-part", "a"},
           {"--merge", "--csv", "p"},
           {"--merge"}})
    EXPECT_EQ(report(dir_, args).status, 2) << args[0] << " " << args[1];
}

// Each failure exits 1 with a message, and the record claims nothing that
// was not done.
TEST_F(ReportTest, FailuresAreNamedAndExitOne) {
  write_file(dir_ / "a.bin", make_png({}) + make_png({}));
  fs::create_directory(dir_ / "folder");
  Result r = report(dir_, {"missing.bin", "folder", "a.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.bin: could not be opened"), std::string::npos)
      << r.err;
  EXPECT_NE(r.out.find("<pngcarve:failure input=\"missing.bin\">"),
            std::string::npos);
  EXPECT_NE(r.out.find("<pngcarve:failure input=\"folder\">"),
            std::string::npos);
  EXPECT_NE(r.out.find("<filename>a.bin.0001.png</filename>"),
            std::string::npos);

  // The second image can't be created: only the first is recorded.
  fs::remove(dir_ / "a.bin.0001.png");
  fs::create_directory(dir_ / "a.bin.0001.png");
  r = report(dir_, {"--csv", "a.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not create a.bin.0001.png"), std::string::npos)
      << r.err;
  EXPECT_EQ(csv_rows(r.out).size(), 2u) << r.out;
  // So for an image inside another's run, named as the failure.
  write_file(dir_ / "b.bin", "IHDR" + std::string(17, 'x') + be32(1000) +
                                 "tEXt" + make_png({}));
  fs::create_directory(dir_ / "b.bin.0000+0000.png");
  r = report(dir_, {"--csv", "--all", "b.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not create b.bin.0000+0000.png"),
            std::string::npos)
      << r.err;

  // More IDAT and IEND tags than mending keeps: said, and nothing lost.
  std::string broken = make_png(sized(20, 20, 3));
  broken[broken.size() - 20] ^= 1;
  std::string tags;
  for (size_t k = 0; k <= pngcarve::kMaxTags; ++k) tags += "IEND";
  write_file(dir_ / "tags.bin", broken + tags);
  r = report(dir_, {"--csv", "-n", "tags.bin"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("tags.bin: holds more IDAT and IEND tags than mending "
                       "keeps"),
            std::string::npos)
      << r.err;

  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  r = report(dir_, {"-n", "a.bin"}, full);
  close(full);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the record could not be written"), std::string::npos)
      << r.err;
}

}  // namespace
