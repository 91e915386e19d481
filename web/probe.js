// Finds out, off the page's thread, each image's structure check
// (check.js), whether the browser can show it, and whether it has the same
// bytes as an earlier one.
//
// Takes messages of [{file, name, images: [{key, offset, run, ending,
// crc, pixels}]}]: images of each input `file`, each a place in it (runs.js),
// crc its CRC-32 and pixels its width times height (0 if not known), in
// the order they were found, and answers with {answers, done}: answers a
// list of [key, check, shows, duplicate], done how many of the messages
// given are answered in full with it; at most every kAnswerMs, and at once
// when no message is left to probe, so the last answers wait on no timer.
// The bytes are read from the file again in large reads (a run of a MiB or
// more in pieces, never whole).
//
// An image the check finds sound (all right but ancillary chunks' CRCs,
// which Chromium and Firefox let be) is taken to show, undecoded:
// decoding every image took a minute for 100,000 small ones, and the
// check, which a browser's decoder also makes, seconds. The rest are decoded, with
// ImageDecoder where the browser has it (no Blob an image, which costs
// Chromium more than decoding a small image does): a cut image may still
// show what it holds. A duplicate is told by its bytes: the size and a
// hash (the CRC-32 for an image of a MiB or more) only pick the earlier
// image to compare. An image that can't be read again
// is 'cut', does not show, and is no duplicate.
import {checkImage, startCheck} from './check.js';
import {kHead, placeBlob, readRuns, readSlice, runOf, tailOf, wholeImage} from './runs.js';

const kAnswerMs = 100;
const kDecodes = 8;     // small images decoded at once
const kSmallPixels = 1 << 20;
const kPiece = 1 << 20; // a large image's run is read in pieces this size
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
      // Each image's bytes (null for a large one, read in pieces) and check.
      const own = [];
      for (let i = window.first; i <= window.last; ++i) {
        const image = images[i];
        const run = runOf(window, image);
        if (run instanceof Blob) {
          own.push({image, bytes: null, ...await checkPieces(image, run)});
        } else {
          const bytes = await wholeImage(image, run);
          own.push({image, bytes, ...checkImage(bytes, image.ending)});
        }
      }
      // Those that fail it decoded, small ones several at once (a decode
      // of one is mostly a wait for the browser's decoder), large ones one
      // at a time, so their pixels are held once.
      const small = [];
      const large = [];
      for (const one of own) {
        one.shows = one.sound;
        if (!one.shows) (one.image.pixels <= kSmallPixels && one.bytes ? small : large).push(one);
      }
      const decode = async (one) => {
        one.shows = await decodes(one.bytes ?? placeBlob(file, one.image), one.image.pixels);
      };
      await inLanes(small, kDecodes, decode);
      await inLanes(large, 1, decode);
      // Each image's earlier one picked in order, as "earlier" means found
      // first.
      const compare = [];
      for (const one of own) {
        one.earlier = earlierOf(one);
        one.duplicate = false;
        if (one.earlier) compare.push(one);
      }
      await readEarlier(compare);
      await inLanes(compare, 1, async (one) => { one.duplicate = await same(one.earlier, one); });
      for (const one of own) {
        answers.push([one.image.key, one.check, one.shows, one.duplicate]);
        ++answered;
      }
    }
  } catch {
    // The file can't be read again: what is left is not decodable, and no
    // duplicate.
    for (; answered < images.length; ++answered) answers.push([images[answered].key, 'cut', false, false]);
  }
}

// The check of an image whose run is `run`, a Blob read in pieces.
async function checkPieces(image, run) {
  const check = startCheck(image.ending);
  check.push(kHead);
  for (let at = 0; at < run.size; at += kPiece) {
    const end = Math.min(at + kPiece, run.size);
    check.push(new Uint8Array(await readSlice(image.job, run, at, end)));
  }
  check.push(tailOf(image));
  return {check: check.end(), sound: check.sound()};
}

// fn(item) for each of items, `lanes` at once.
async function inLanes(items, lanes, fn) {
  let next = 0;
  await Promise.all(Array.from({length: lanes}, async () => {
    while (next < items.length) await fn(items[next++]);
  }));
}

// The earlier image with one's size and hash, or null if there is none
// (and one is then the first with them).
function earlierOf({image, bytes}) {
  const id = `${sizeOf(image)} ${bytes ? fnv1a(bytes) : `crc ${image.crc}`}`;
  const earlier = first.get(id);
  if (earlier === undefined) first.set(id, {image, bytes: null});
  return earlier ?? null;
}

// FNV-1a, the key to find an earlier copy of a small image by. The image's
// CRC-32 is no key for PNGs: each chunk's bytes are followed by their own
// CRC-32, and the CRC-32 over any bytes and their own CRC-32 is one and
// the same, so images of one layout share it (a quarter of a million
// images of a million did, of which 10,000 were copies).
function fnv1a(bytes) {
  let hash = 0x811C9DC5;
  for (let i = 0; i < bytes.length; ++i) hash = Math.imul(hash ^ bytes[i], 0x01000193);
  return hash >>> 0;
}

const sizeOf = (image) => kHead.length + image.run + tailOf(image).length;

// Reads again the small earlier images of those in `compare` that are not
// kept yet, and keeps them: in one read, as each read of its own cost
// Chromium some 20 ms, which made 8,000 reads of a million images' take
// three minutes.
async function readEarlier(compare) {
  const wanted = [...new Set(compare.map((one) => one.earlier))].filter(
      (earlier) => earlier.bytes === null && sizeOf(earlier.image) <= kKeep);
  if (wanted.length === 0) return;
  let all;
  try {
    all = new Uint8Array(await new Blob(wanted.map(
        (earlier) => placeBlob(earlier.image.job.file, earlier.image))).arrayBuffer());
  } catch {
    return;  // each is then read alone, and fails alone
  }
  if (all.length !== wanted.reduce((sum, earlier) => sum + sizeOf(earlier.image), 0)) return;
  let at = 0;
  for (const earlier of wanted) {
    const size = sizeOf(earlier.image);
    earlier.bytes = all.slice(at, at + size);
    at += size;
  }
}

// Whether one's bytes are those of earlier, read again (and kept, if
// small: an image with many copies is read once).
async function same(earlier, {image, bytes}) {
  const size = sizeOf(image);
  const blobOf = (one) => placeBlob(one.job.file, one);
  try {
    if (size <= kKeep && bytes) {
      earlier.bytes ??= new Uint8Array(await blobOf(earlier.image).arrayBuffer());
      return equal(earlier.bytes, bytes);
    }
    for (let at = 0; at < size; at += kPiece) {
      const [theirs, ours] = await Promise.all([earlier.image, image].map(
          async (one) => new Uint8Array(await blobOf(one).slice(at, at + kPiece).arrayBuffer())));
      if (!equal(theirs, ours)) return false;
    }
    return true;
  } catch {
    return false;
  }
}

function equal(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; ++i) if (a[i] !== b[i]) return false;
  return true;
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
