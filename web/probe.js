// Finds out, off the page's thread, which images the browser can decode
// and which have the same bytes as an earlier one.
//
// Takes {blob, images: [{key, start, end, crc}]}, each image the bytes
// [start, end) of blob and crc their CRC-32, in the order the images were
// found, and answers with batches of [key, decodes, duplicate], at most
// every kAnswerMs. The bytes are read once a blob, and decoded with
// ImageDecoder where the browser has it (no Blob an image, which costs
// Chromium more than decoding a small image does). A duplicate is told by
// its bytes: the size and CRC-32 only pick the earlier image to compare.
'use strict';

const kAnswerMs = 100;
const kKeep = 1 << 20;  // an earlier image this small is kept, not re-read

let answers = [];
let sent = 0;
let work = Promise.resolve();  // the batches, one after another
const first = new Map();       // "size crc" -> the first image with them

onmessage = (event) => {
  const batch = event.data;
  work = work.then(() => probeBatch(batch));
};

async function probeBatch({blob, images}) {
  let bytes = null;
  try {
    bytes = new Uint8Array(await blob.arrayBuffer());
  } catch {
    // Unreadable: every image of it is not decodable, and no duplicate.
  }
  for (const {key, start, end, crc} of images) {
    const own = bytes && bytes.subarray(start, end);
    answers.push([key, own !== null && await decodes(own),
                  own !== null && await duplicate(own, crc, blob, start)]);
  }
  if (performance.now() - sent >= kAnswerMs) answer();
  // Nothing more waiting: answer now.
  setTimeout(answer, kAnswerMs);
}

async function duplicate(bytes, crc, blob, start) {
  const id = `${bytes.length} ${crc}`;
  const earlier = first.get(id);
  if (earlier === undefined) {
    first.set(id, {blob, start, bytes: null});
    return false;
  }
  let theirs = earlier.bytes;
  if (theirs === null) {
    try {
      const {blob: b, start: s} = earlier;
      theirs = new Uint8Array(await b.slice(s, s + bytes.length).arrayBuffer());
    } catch {
      return false;
    }
    if (theirs.length <= kKeep) earlier.bytes = theirs;
  }
  return same(theirs, bytes);
}

function same(a, b) {
  if (a.length !== b.length) return false;
  for (let i = 0; i < a.length; ++i) if (a[i] !== b[i]) return false;
  return true;
}

async function decodes(bytes) {
  try {
    if (typeof ImageDecoder === 'function') {
      const decoder = new ImageDecoder({data: bytes, type: 'image/png'});
      try {
        (await decoder.decode()).image.close();
      } finally {
        decoder.close();
      }
    } else {
      (await createImageBitmap(new Blob([bytes]))).close();
    }
    return true;
  } catch {
    return false;
  }
}

function answer() {
  if (answers.length === 0) return;
  postMessage(answers);
  answers = [];
  sent = performance.now();
}
