// Finds out, off the page's thread, which images the browser can decode
// and which have the same bytes as an earlier one.
//
// Takes messages of [{file, name, images: [{key, offset, run, ending,
// crc}]}]: images of each input `file`, each a place in it (runs.js) and crc
// its CRC-32, in the order they were found, and answers with {answers, done}: answers a list
// of [key, decodes, duplicate], done how many of the messages given are
// answered in full with it; at most every kAnswerMs, and at once when no
// message is left to probe, so the last answers wait on no timer. The bytes are read from
// the file again in large reads, and decoded with ImageDecoder where the
// browser has it (no Blob an image, which costs Chromium more than
// decoding a small image does). A duplicate is told by its bytes: the size
// and CRC-32 only pick the earlier image to compare. An image that can't
// be read again is not decodable, and no duplicate.
import {placeBlob, readRuns, runOf, wholeImage} from './runs.js';

const kAnswerMs = 100;
const kDecodes = 8;     // small images decoded at once
const kSmallPixels = 1 << 20;
const kWidthAt = 16;    // in an image: 8 signature bytes, IHDR's length and tag
const kKeep = 1 << 20;  // an earlier image this small is kept, not re-read
const kDecodeMs = 10000;
const kPixelsPerMs = 10000;
const kDecodeMaxMs = 120000;  // an IHDR's sizes may be any junk
const kLate = new Error('the decode took too long');

let answers = [];
let done = 0;  // messages answered in full since the last answer
let sent = 0;
let work = Promise.resolve();  // the batches, one after another
let queued = 0;                // batches given and not yet probed
const first = new Map();       // "size crc" -> the first image with them

onmessage = (event) => {
  const groups = event.data;
  ++queued;
  work = work.then(async () => {
    for (const group of groups) await probeGroup(group);
    ++done;
    if (--queued === 0 || performance.now() - sent >= kAnswerMs) answer();
  });
};

async function probeGroup({file, name, images}) {
  const job = {file, name};
  for (const image of images) image.job = job;
  let answered = 0;
  try {
    for await (const window of readRuns(images.length, (k) => images[k])) {
      const own = [];
      for (let i = window.first; i <= window.last; ++i)
        own.push(await wholeImage(images[i], runOf(window, images[i])));
      // Small images several at once: a decode of one is mostly a wait for
      // the browser's decoder, and one at a time left Firefox at some 1,400
      // a second. Large ones one at a time, so their pixels are held once.
      const decoded = new Array(own.length).fill(false);
      const small = [];
      const large = [];
      for (let i = 0; i < own.length; ++i) (pixels(own[i]) <= kSmallPixels ? small : large).push(i);
      const decodeAll = async (which, lanes) => {
        let next = 0;
        await Promise.all(Array.from({length: lanes}, async () => {
          while (next < which.length) {
            const i = which[next++];
            decoded[i] = await decodes(own[i]);
          }
        }));
      };
      await decodeAll(small, kDecodes);
      await decodeAll(large, 1);
      // Duplicates in order, as "earlier" means found first.
      for (let i = 0; i < own.length; ++i) {
        const image = images[window.first + i];
        answers.push([image.key, decoded[i], await duplicate(own[i], image)]);
        ++answered;
      }
    }
  } catch {
    // The file can't be read again: what is left is not decodable, and no
    // duplicate.
    for (; answered < images.length; ++answered) answers.push([images[answered].key, false, false]);
  }
}

async function duplicate(bytes, image) {
  const id = `${bytes.length} ${image.crc}`;
  const earlier = first.get(id);
  if (earlier === undefined) {
    first.set(id, {image, bytes: null});
    return false;
  }
  let theirs = earlier.bytes;
  if (theirs === null) {
    try {
      theirs = new Uint8Array(await placeBlob(earlier.image.job.file, earlier.image).arrayBuffer());
    } catch {
      return false;
    }
    if (theirs.length <= kKeep) earlier.bytes = theirs;
  }
  return same(theirs, bytes);
}

// Width times height, from the image's IHDR (0 if cut before them).
function pixels(image) {
  if (image.length < kWidthAt + 8) return 0;
  const view = new DataView(image.buffer, image.byteOffset + kWidthAt, 8);
  return view.getUint32(0) * view.getUint32(4);
}

function same(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; ++i) if (a[i] !== b[i]) return false;
  return true;
}

// Whether the browser decodes the image. A decode that has not settled in
// its time (kDecodeMs, more for more pixels, at most kDecodeMaxMs) is tried
// once more with createImageBitmap, then taken as failed: a decoder that
// never answers must not hold up every image after it.
async function decodes(bytes) {
  const ms = Math.min(kDecodeMs + pixels(bytes) / kPixelsPerMs, kDecodeMaxMs);
  if (typeof ImageDecoder === 'function') {
    let decoder = null;
    try {
      decoder = new ImageDecoder({data: bytes, type: 'image/png'});
      (await within(decoder.decode(), ms)).image.close();
      return true;
    } catch (error) {
      if (error !== kLate) return false;
    } finally {
      decoder?.close();
    }
  }
  try {
    (await within(createImageBitmap(new Blob([bytes])), ms)).close();
    return true;
  } catch {
    return false;
  }
}

// promise, or kLate thrown after ms.
function within(promise, ms) {
  let timer;
  const late = new Promise((_, reject) => { timer = setTimeout(reject, ms, kLate); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

function answer() {
  if (answers.length === 0 && done === 0) return;
  postMessage({answers, done});
  answers = [];
  done = 0;
  sent = performance.now();
}
