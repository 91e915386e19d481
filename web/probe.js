// Finds out which images the browser can decode, off the page's thread.
//
// Takes {blob, images: [{key, start, end}]}, each image the bytes
// [start, end) of blob, and answers with batches of [key, ok], at most
// every kAnswerMs. The bytes are read once a blob, and decoded with
// ImageDecoder where the browser has it (no Blob an image, which costs
// Chromium more than decoding a small image does).
'use strict';

const kAnswerMs = 100;

let answers = [];
let sent = 0;
let work = Promise.resolve();  // the batches, one after another

onmessage = (event) => {
  const batch = event.data;
  work = work.then(() => probeBatch(batch));
};

async function probeBatch({blob, images}) {
  let bytes = null;
  try {
    bytes = new Uint8Array(await blob.arrayBuffer());
  } catch {
    // Unreadable: every image of it is not decodable.
  }
  for (const {key, start, end} of images)
    answers.push([key, bytes !== null && await decodes(bytes.subarray(start, end))]);
  if (performance.now() - sent >= kAnswerMs) answer();
  // Nothing more waiting: answer now.
  setTimeout(answer, kAnswerMs);
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
