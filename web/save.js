// Saving images straight into a folder on the user's disk, where the
// browser has a folder picker (window.showDirectoryPicker).
//
// saveTo(folder) starts writing into `folder` (a FileSystemDirectoryHandle)
// every image shown so far, in order, and saveLater(first, count) adds the
// images found, by their indices in the catalog (catalog.js). Each goes under its path, subfolders and all, and a
// filter that hides an image by the time its turn comes keeps it out. The
// images' bytes are read from their inputs again, in large reads
// (runs.js); an input that can't be read as it was carved fails each of
// its images that is still to save.
// What happens is told through `saveHooks`:
//   progress()             savesPending() or the counts have changed
//   failed(image, error)   that image could not be written
// savesPending() is true while writes are queued or under way.
import {imageAt, isHidden, shownAt, shownCount} from './catalog.js';
import {kHead, readRuns, runOf, tailOf, wholeImage} from './runs.js';

export const saveHooks = {};
export const saver = {
  folder: null, queue: [], next: 0, busy: false, saved: 0, failed: 0, folders: null,
};

export function saveTo(folder) {
  saver.folder = folder;
  saver.folders = new Map([['', folder]]);
  saver.saved = 0;
  saver.failed = 0;
  saver.queue = Array.from({length: shownCount()}, (_, k) => shownAt(k));
  saver.next = 0;
  pump();
}

export function saveLater(first, count) {
  if (saver.folder === null) return;
  for (let i = first; i < first + count; ++i) saver.queue.push(i);
  pump();
}

export function savesPending() {
  return saver.busy || saver.next < saver.queue.length;
}

async function pump() {
  if (saver.busy) return;
  saver.busy = true;
  saveHooks.progress();
  while (saver.next < saver.queue.length) {
    const folder = saver.folder;
    const images = saver.queue.slice(saver.next).filter((i) => !isHidden(i)).map(imageAt);
    saver.next = saver.queue.length;
    let done = 0;
    const saved = (image, error) => {
      ++done;
      // A folder picked meanwhile starts over with its own queue and counts.
      if (folder !== saver.folder) return;
      if (error === null) {
        ++saver.saved;
      } else {
        ++saver.failed;
        saveHooks.failed(image, error);
      }
      saveHooks.progress();
    };
    try {
      for await (const window of readRuns(images.length, (k) => images[k])) {
        for (let i = window.first; i <= window.last; ++i) {
          const image = images[i];
          if (folder !== saver.folder || isHidden(image.index)) {
            ++done;
            continue;
          }
          let error = null;
          try {
            await write(image, runOf(window, image));
          } catch (e) {
            error = e;
          }
          saved(image, error);
        }
      }
    } catch (error) {  // an input could not be read again
      while (done < images.length) saved(images[done], error);
    }
  }
  saver.busy = false;
  saveHooks.progress();
}

async function write(image, run) {
  const at = image.path.lastIndexOf('/');
  const folder = await subfolder(image.path.slice(0, Math.max(at, 0)));
  const file = await folder.getFileHandle(image.path.slice(at + 1), {create: true});
  const out = await file.createWritable();
  try {
    await out.write(run instanceof Blob ? new Blob([kHead, run, tailOf(image)]) :
                                          await wholeImage(image, run));
    await out.close();
  } catch (error) {
    await out.abort().catch(() => {});
    throw error;
  }
}

// The handle of the folder at `path` inside the chosen one, made as needed.
async function subfolder(path) {
  let handle = saver.folders.get(path);
  if (handle === undefined) {
    const at = path.lastIndexOf('/');
    const parent = await subfolder(path.slice(0, Math.max(at, 0)));
    handle = await parent.getDirectoryHandle(path.slice(at + 1), {create: true});
    saver.folders.set(path, handle);
  }
  return handle;
}
