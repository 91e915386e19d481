// An image as a place in its input, and the inputs read again for them.
//
// Every image the extractor writes is kHead (the PNG signature and the
// IHDR chunk header, 16 constant bytes), then `run` bytes of its input
// from just after the IHDR tag at `offset`, then kIend when its ending is
// 'iend'. So the page keeps where each image lies, never its bytes.
//
// placeBlob(file, image) is one image's bytes as a Blob of three parts, for
// an image someone looks at. Bulk work (the zip, a save, the probe, the
// report) goes through readRuns(count, at) instead, for the images at(0)
// to at(count - 1): it reads the inputs again once, in order, in reads of
// up to kWindow bytes asked for ahead, as the carve does, and gives the
// images' runs a window at a time:
//   for await (const {first, last, bytes, start, blob} of readRuns(count, at))
// covers at(first) to at(last); an image's run is runOf(window, image): a
// Uint8Array, a view into the window's bytes, or for an image whose run is
// kLarge or more, a Blob of the file (window.blob) that is not read here
// (a read of it fails, later, if the file has changed).
// Images are {job: {file, name}, offset, run, ending}, in any order, or a
// twin (catalog.js) with its run a Blob of its own,
// `blob`, its own end included; at(k) may make a new one each time it is called. A read that fails, or brings fewer bytes than asked
// (the file was moved, changed or removed since it was carved), throws an
// Error that names the input.
export const kHead = new Uint8Array([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A,
                              0, 0, 0, 13, 0x49, 0x48, 0x44, 0x52]);
export const kIend = new Uint8Array([0, 0, 0, 0, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82]);
const kTagLength = 4;  // the run starts just after the IHDR tag
const kWindow = 8 << 20;
const kLarge = 1 << 20;
const kWindowsAhead = 64;       // a folder of small files has a window each
const kBytesAhead = 32 << 20;

const runStart = (image) => image.offset + kTagLength;
export const tailOf = (image) =>
  (image.ending === 'iend' && !image.blob ? kIend : kIend.subarray(0, 0));

export function placeBlob(file, image) {
  const start = runStart(image);
  return new Blob([kHead, image.blob ?? file.slice(start, start + image.run), tailOf(image)],
                  {type: 'image/png'});
}

export function runOf(window, image) {
  if (window.blob) return window.blob;
  const at = runStart(image) - window.start;
  return window.bytes.subarray(at, at + image.run);
}

// An image's whole bytes, from its run.
export async function wholeImage(image, run) {
  if (run instanceof Blob) run = new Uint8Array(await readSlice(image.job, run, 0, run.size));
  const tail = tailOf(image);
  const bytes = new Uint8Array(kHead.length + run.length + tail.length);
  bytes.set(kHead);
  bytes.set(run, kHead.length);
  bytes.set(tail, kHead.length + run.length);
  return bytes;
}

async function readSlice(job, blob, start, end) {
  let buffer;
  try {
    buffer = await blob.slice(start, end).arrayBuffer();
  } catch (error) {
    throw new Error(`${job.name} could not be read again (${error.message || error}): ` +
                    'was it moved, changed or removed after it was carved?');
  }
  if (buffer.byteLength !== end - start)
    throw new Error(`${job.name} has changed since it was carved: it is shorter now`);
  return buffer;
}

export async function* readRuns(count, at) {
  const windows = [];  // planned, in order, their reads asked for
  let planned = 0;     // images with a window
  let ahead = 0;       // bytes asked for and not yet given
  const plan = () => {
    while (planned < count &&
           (windows.length === 0 || windows.length < kWindowsAhead && ahead < kBytesAhead)) {
      const first = planned;
      const image = at(first);
      const file = image.job.file;
      const start = runStart(image);
      if (image.blob || image.run >= kLarge) {
        windows.push({first, last: first, start,
                      blob: image.blob ?? file.slice(start, start + image.run)});
        planned = first + 1;
        continue;
      }
      // A window holds the runs of images one after another in the list,
      // wherever each lies: one carved inside another's run comes before
      // the image that held it.
      let last = first;
      let low = start;
      let end = start + image.run;
      for (let next; last + 1 < count; ++last) {
        next = at(last + 1);
        const nextStart = runStart(next);
        const nextEnd = nextStart + next.run;
        if (next.job.file !== file || next.blob || next.run >= kLarge ||
            Math.max(end, nextEnd) - Math.min(low, nextStart) > kWindow) {
          break;
        }
        low = Math.min(low, nextStart);
        end = Math.max(end, nextEnd);
      }
      const bytes = readSlice(image.job, file, low, end);
      bytes.catch(() => {});  // thrown when its turn comes, if it does
      windows.push({first, last, start: low, size: end - low, bytes});
      ahead += end - low;
      planned = last + 1;
    }
  };
  while (plan(), windows.length) {
    const window = windows.shift();
    if (window.bytes) {
      window.bytes = new Uint8Array(await window.bytes);
      ahead -= window.size;
    }
    yield window;
  }
}
