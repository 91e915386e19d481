#include "merge.h"

#include <algorithm>
#include <map>
#include <utility>

#include "chunk_walk.h"
#include "nested.h"
#include "png_extract.h"

namespace pngcarve {

namespace {

// Where an image's run ends: just past the chunk header that ended it, or
// never, when the input ended inside it.
uint64_t end_of(const ImageRecord& record) {
  return record.iend ? record.offset + 4 + record.run_length + kChunkHeaderSize
                     : UINT64_MAX;
}

// An image begun and not yet past, as the carve keeps it.
struct Open {
  uint64_t end = 0;
  bool top = false;
  size_t slot = 0;
  size_t image = 0;  // in Merged::images
  int64_t children = 0;
};

// Walks the runs of `records`' images in an input of `size` bytes, reading
// their chunk headers and passing over the rest, into each one's
// run_length, iend and size. The headers are taken in the input's order,
// whichever run they are in, so that the windows read go forward and each
// byte is read at most once for all of them. Returns false when a read
// failed.
bool walk_runs(const ReadAt& read, uint64_t size,
               const std::vector<ImageRecord*>& records) {
  constexpr size_t kWindow = 64 * 1024;  // read at once, for near headers
  std::vector<unsigned char> window(kWindow);
  uint64_t window_at = 0;
  size_t window_size = 0;
  struct Walk {
    ChunkWalk walk;
    uint64_t at = 0;  // of the part being walked
    bool done = false;
  };
  std::vector<Walk> walks(records.size());
  for (size_t k = 0; k < records.size(); ++k) {
    walks[k].walk.start_run();
    walks[k].at = records[k]->offset + 4;
  }
  for (;;) {
    // The walk whose next header comes first.
    Walk* next = nullptr;
    for (Walk& w : walks)
      if (!w.done && (next == nullptr || w.at + w.walk.to_header() <
                                             next->at + next->walk.to_header()))
        next = &w;
    if (next == nullptr) break;
    ChunkWalk& walk = next->walk;
    uint64_t& at = next->at;
    const uint64_t ahead = walk.to_header();
    if (ahead > size - std::min(size, at)) {  // the input ends inside
      walk.pass(size - std::min(size, at));
      next->done = true;
      continue;
    }
    walk.pass(ahead);
    at += ahead;
    if (at < window_at || at + kChunkHeaderSize > window_at + window_size) {
      window_at = at;
      window_size = read(at, window.data(), kWindow);
      if (window_size == kReadAtError) return false;
    }
    const size_t have = static_cast<size_t>(
        std::min<uint64_t>(kChunkHeaderSize, window_at + window_size - at));
    walk.push(window.data() + (at - window_at), have);
    next->done = have < kChunkHeaderSize || walk.ended();
    at += kChunkHeaderSize;
  }
  for (size_t k = 0; k < records.size(); ++k) {
    ImageRecord* record = records[k];
    record->run_length = walks[k].walk.run();
    record->iend = walks[k].walk.ended();
    record->size = sizeof kSignature + sizeof kIhdrHeader + record->run_length +
                   (record->iend ? sizeof kIendChunk : 0);
  }
  return true;
}

}  // namespace

std::string merge_ranges(std::vector<Part>& ranges, const std::string& stem,
                         const ReadAt& read, uint64_t size,
                         const CarveOne& carve_one, TagIndex* index,
                         Merged* merged) {
  std::sort(ranges.begin(), ranges.end(),
            [](const Part& a, const Part& b) { return a.start < b.start; });
  uint64_t next = 0;
  for (const Part& part : ranges) {
    if (part.start != next || next == kToTheEnd)
      return "the ranges do not cover the input once each: one begins at " +
             std::to_string(part.start) + ", where " +
             (next == kToTheEnd ? std::string("none is left")
                                : std::to_string(next) + " was expected");
    next = part.length == kToTheEnd ? kToTheEnd : part.start + part.length;
  }
  if (next != kToTheEnd)
    return "the ranges do not cover the input: the last ends at " +
           std::to_string(next) + ", not at the input's end";

  // Every tag the ranges found, and what each one's carve found of it.
  std::map<uint64_t, PartImage*> found;
  std::vector<uint64_t> tags;
  for (Part& part : ranges) {
    for (PartImage& image : part.images) {
      found[image.record.offset] = &image;
      tags.push_back(image.record.offset);
    }
    tags.insert(tags.end(), part.not_carved.begin(), part.not_carved.end());
  }
  std::sort(tags.begin(), tags.end());
  tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
  // The images a range stopped inside run on to where their chunks end;
  // the tags in each one's run are the parts'.
  auto finish = [&](const std::vector<ImageRecord*>& cut) {
    if (!walk_runs(read, size, cut)) return false;
    for (ImageRecord* r : cut) {
      const auto first =
          std::lower_bound(tags.begin(), tags.end(), r->offset + 4);
      // Tags wholly inside the run, which ends 4 + run_length past the tag.
      const auto last =
          std::upper_bound(first, tags.end(), r->offset + r->run_length);
      r->hidden_count = static_cast<uint64_t>(last - first);
      r->hidden.assign(
          first, first + std::min<ptrdiff_t>(last - first, kHiddenListed));
    }
    return true;
  };
  for (Part& part : ranges) {
    std::vector<ImageRecord*> cut;
    for (PartImage& image : part.images)
      if (part.stopped && !image.record.iend) cut.push_back(&image.record);
    if (!finish(cut))
      return "could not be read again, to walk the images cut at " +
             std::to_string(part.read_to) + " to their ends";
  }

  std::vector<PartImage>& images = merged->images;
  std::vector<Open> open;    // in the order they began
  uint64_t search_from = 0;  // where the extractor searches next
  bool searching = true;     // until an image of its own is cut
  int64_t tops = 0;
  auto begin = [&](uint64_t tag, const std::string& name,
                   const std::string& parent) -> std::string {
    PartImage image;
    const auto known = found.find(tag);
    if (known != found.end()) {
      image = std::move(*known->second);  // each tag is begun once
      image.record.not_carved = 0;
    } else {
      bool stopped = false;
      const std::string wrong = carve_one(tag, &image, &stopped);
      if (!wrong.empty()) return wrong;
      if (stopped && !image.record.iend && !finish({&image.record}))
        return "could not be read again, to walk the image at " +
               std::to_string(tag) + " to its end";
    }
    image.record.output = name;
    image.record.parent = parent;
    images.push_back(std::move(image));
    return "";
  };
  for (const uint64_t tag : tags) {
    // Those ended before the tag can hold it no more.
    std::erase_if(open, [tag](const Open& image) { return image.end <= tag; });
    if (searching && tag >= search_from) {
      const std::string wrong = begin(tag, output_name(stem, tops++), "");
      if (!wrong.empty()) return wrong;
      Open top{end_of(images.back().record), true, 0, images.size() - 1};
      searching = top.end != UINT64_MAX;
      search_from = top.end;
      open.push_back(top);
      continue;
    }
    if (open.empty()) continue;  // can't be: the extractor's image holds it
    Open& parent = open.back();  // the innermost: begun last, not yet past
    // The nested images still being walked hold their slots; one that
    // ended in the tag's own bytes has let go of its slot and been told.
    bool held[kMaxNested] = {};
    size_t carving = 0;
    for (const Open& image : open)
      if (!image.top && image.end > tag + 4) {
        held[image.slot] = true;
        ++carving;
      }
    if (carving == kMaxNested) {
      ++merged->not_carved;
      // Counted in its parent's record unless that was told already: a
      // nested image's once its walk ended, the extractor's once the bytes
      // to its end were pushed.
      const bool open_still =
          parent.top ? parent.end >= tag + 4 : parent.end > tag + 4;
      if (open_still) ++images[parent.image].record.not_carved;
      continue;
    }
    const size_t slot =
        static_cast<size_t>(std::find(held, held + kMaxNested, false) - held);
    const size_t parent_image = parent.image;
    const std::string name =
        nested_name(images[parent_image].record.output, parent.children++);
    const std::string wrong =
        begin(tag, name, images[parent_image].record.output);
    if (!wrong.empty()) return wrong;
    Open nested{end_of(images.back().record), false, slot, images.size() - 1};
    open.push_back(nested);
  }

  // The order they end in; those that end together, nested ones first,
  // then in the order they began.
  auto key = [](const PartImage& image) {
    return std::make_pair(end_of(image.record), image.record.parent.empty());
  };
  std::stable_sort(
      images.begin(), images.end(),
      [&](const PartImage& a, const PartImage& b) { return key(a) < key(b); });

  // What mending follows: the tags in no whole image (each whole image
  // claims its run's once the tags before its end are noted, as the carve
  // claims them), and the images broken.
  std::vector<const ImageRecord*> whole;
  for (const PartImage& image : images) {
    const ImageRecord& r = image.record;
    if (r.check == "ok")
      whole.push_back(&r);
    else if (to_mend(r.check, r.not_written))
      merged->broken.push_back({r.offset, r.run_length, r.output});
  }
  std::sort(whole.begin(), whole.end(),
            [](const ImageRecord* a, const ImageRecord* b) {
              return a->offset + a->run_length < b->offset + b->run_length;
            });
  auto part = ranges.begin();
  size_t next_tag = 0;
  // Notes the parts' tags that begin before `end`.
  auto note_before = [&](uint64_t end) {
    for (; part != ranges.end(); ++part, next_tag = 0) {
      for (; next_tag < part->chunk_tags.size(); ++next_tag) {
        if (part->chunk_tags[next_tag] >= end) return;
        index->add(part->chunk_tags[next_tag]);
      }
    }
  };
  for (const ImageRecord* r : whole) {
    note_before(r->offset + 4 + r->run_length);
    index->claim(r->offset, r->run_length);
  }
  note_before(UINT64_MAX);
  index->set_size(size);
  return "";
}

}  // namespace pngcarve
