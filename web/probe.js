// Finds out, off the page's thread, whether the browser can show each image
// whose structure check (the carve's, record/check.h) could not vouch for
// it: one the check finds sound, all right but for ancillary chunks' CRCs
// (which Chromium and Firefox let be), is taken to show undecoded, and
// never comes here.
//
// Its messages are protocol.js's. It answers at most every kAnswerMs, and
// at once when no message is left to probe, so the last answers wait on
// no timer. The bytes are read from the file
// again in large reads (a run of a MiB or more is decoded from a Blob of
// the file, never read whole here).
//
// The images are decoded with ImageDecoder where the browser has it (no
// Blob an image, which costs Chromium more than decoding a small image
// does): a cut image may still show what it holds. An image that can't be
// read again does not show.
import {placeBlob, readRuns, runOf, wholeImage} from './runs.js';

const kAnswerMs = 100;
const kDecodes = 8;     // small images decoded at once
const kSmallPixels = 1 << 20;
const kDecodeMs = 10000;
const kPixelsPerMs = 10000;
const kDecodeMaxMs = 120000;  // an IHDR's sizes may be any junk
const kLate = new Error('the decode took too long');

let answers = [];
let done = 0;  // messages answered in full since the last answer
let sent = 0;
let work = Promise.resolve();  // the batches, one after another
let queued = 0;                // batches given and not yet probed

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
      // Small images several at once (a decode of one is mostly a wait for
      // the browser's decoder), large ones one at a time, so their pixels
      // are held once.
      const small = [];
      const large = [];
      for (let i = window.first; i <= window.last; ++i) {
        const image = images[i];
        const run = runOf(window, image);
        const one = {image, bytes: run instanceof Blob ? null : await wholeImage(image, run)};
        (image.pixels <= kSmallPixels && one.bytes ? small : large).push(one);
      }
      const decode = async (one) => {
        one.image.shows = await decodes(one.bytes ?? placeBlob(file, one.image), one.image.pixels);
      };
      await inLanes(small, kDecodes, decode);
      await inLanes(large, 1, decode);
      for (let i = window.first; i <= window.last; ++i) {
        answers.push([images[i].key, images[i].shows]);
        ++answered;
      }
    }
  } catch {
    // The file can't be read again: what is left does not show.
    for (; answered < images.length; ++answered) answers.push([images[answered].key, false]);
  }
}

// fn(item) for each of items, `lanes` at once.
async function inLanes(items, lanes, fn) {
  let next = 0;
  await Promise.all(Array.from({length: lanes}, async () => {
    while (next < items.length) await fn(items[next++]);
  }));
}

// Whether the browser decodes the image, its bytes or a Blob of them, with
// `pixels` pixels. A decode that has not settled in
// its time (kDecodeMs, more for more pixels, at most kDecodeMaxMs) is tried
// once more with createImageBitmap, then taken as failed: a decoder that
// never answers must not hold up every image after it.
async function decodes(bytes, pixels) {
  const ms = Math.min(kDecodeMs + pixels / kPixelsPerMs, kDecodeMaxMs);
  if (typeof ImageDecoder === 'function') {
    let decoder = null;
    try {
      decoder = new ImageDecoder({data: bytes instanceof Blob ? bytes.stream() : bytes, type: 'image/png'});
      (await within(decoder.decode(), ms)).image.close();
      return true;
    } catch (error) {
      if (error !== kLate) return false;
    } finally {
      decoder?.close();
    }
  }
  try {
    (await within(createImageBitmap(bytes instanceof Blob ? bytes : new Blob([bytes])), ms)).close();
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
