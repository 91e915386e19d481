#include "mending.h"

#include <map>
#include <utility>
#include <vector>

#include "handoff.h"  // PNGCARVE_HANDOFF_THREAD, and its headers
#include "paths.h"
#include "twin.h"

namespace pngcarve {

bool to_mend(const std::string& check, const std::string& skipped) {
  return check != "ok" && check != "junk" && skipped.empty();
}

std::string mend_images(
    const ReadAt& read, const std::string& path, const TagIndex& tags,
    const std::vector<Broken>& broken, bool write,
    const std::function<void(const ImageRecord&)>& emit,
    const std::function<void(const std::string& what, Said how)>& say) {
  // What to do with each twin, in order; false to stop.
  std::string wrong;
  auto take = [&](const Twin& twin) {
    const ImageRecord& record = twin.record;
    if (!twin.failure.empty()) say(twin.failure, Said::kFailure);
    if (!twin.note.empty())
      say(twin.note, record.output.empty() ? Said::kNote : Said::kAside);
    if (!record.output.empty() && write &&
        !write_file(record.output, twin.bytes))
      wrong = "could not write " + record.output;
    else if (!record.output.empty())
      emit(record);
    return wrong.empty();
  };
  auto make = [&](size_t i, Twin* twin) {
    make_twin(read, tags, path, broken[i].offset,
              mend_budget(tags.size(), broken.size(), broken[i].run_length),
              broken[i].output, twin);
  };
#if PNGCARVE_HANDOFF_THREAD
  // On two processors where there are threads: the rebuilding is most of
  // the work, and each image is its own. Both take the next image to
  // rebuild; this one also writes and tells them in order, and the other
  // waits while kAhead of them are not yet told.
  constexpr size_t kAhead = 4;
  std::mutex mutex;
  std::condition_variable changed;
  std::map<size_t, Twin> made;
  size_t next = 0;  // the next image to rebuild
  size_t told = 0;  // images told
  bool stop = false;
  auto next_job = [&] {  // with the lock held; broken.size() for none
    return stop || next == broken.size() ? broken.size() : next++;
  };
  std::thread second([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return stop || next - told < kAhead; });
      const size_t i = next_job();
      if (i == broken.size()) return;
      lock.unlock();
      Twin twin;
      make(i, &twin);
      lock.lock();
      made.emplace(i, std::move(twin));
      changed.notify_all();
    }
  });
  std::unique_lock<std::mutex> lock(mutex);
  while (told < broken.size() && wrong.empty()) {
    auto ready = made.find(told);
    if (ready != made.end()) {
      Twin twin = std::move(ready->second);
      made.erase(ready);
      lock.unlock();
      const bool going = take(twin);
      lock.lock();
      ++told;
      changed.notify_all();
      if (!going) break;
      continue;
    }
    const size_t i = next_job();
    if (i == broken.size()) {  // the other has the next one
      changed.wait(lock, [&] { return made.count(told) != 0; });
      continue;
    }
    lock.unlock();
    Twin twin;
    make(i, &twin);
    lock.lock();
    made.emplace(i, std::move(twin));
  }
  stop = true;
  changed.notify_all();
  lock.unlock();
  second.join();
#else
  for (size_t i = 0; i < broken.size(); ++i) {
    Twin twin;
    make(i, &twin);
    if (!take(twin)) break;
  }
#endif
  return wrong;
}

}  // namespace pngcarve
