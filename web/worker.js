// Carves files in a Web Worker, with the extractor compiled to WebAssembly
// (carve.js, carve.wasm), so that the page never freezes.
//
// The page sends one file at a time:   {type: 'carve', id, file}
// and gets back, for that id:
//   {type: 'batch', id, read, images, bytes}
//       bytes of the file read so far, and the images finished since the
//       last batch, in order, each {name, size, crc, head, start, end}:
//       head is its first 24 bytes, crc its CRC-32, and bytes[start, end)
//       what follows any 'piece' messages sent for it (bytes is
//       transferred, not copied)
//   {type: 'piece', id, name, part}     bytes of an image still being
//       written, sent as they pass kPiece, so that no image of any size is
//       ever held whole here
//   {type: 'done', id, result, read, seconds, memory}
//       result: 'ok', 'read-failed' or 'write-failed'; memory: the most
//       bytes the worker held at once
//   {type: 'error', id, message, outOfMemory, memory}
//       the carve broke off; this worker is done for and must be replaced
// Batches go out at most every kBatchMs, or every kBatchImages images, so
// the page gets few messages however dense the input.
//
// It also times reading a file alone, with nothing copied or carved, for
// the tests and the benchmark:  {type: 'read', file}  ->  {type: 'read',
// read, seconds}.
//
// The file is read a block at a time, so a file of any size is never held
// whole. Chromium reads fastest with several slices of the file asked for
// at once; Firefox with its plain stream, which it fills ahead by itself.
'use strict';
importScripts('carve.js');

const kSlice = 16 << 20;  // Chromium: the bytes of one read
const kSlicesAhead = 4;   // Chromium: reads in flight besides the one used
const kPiece = 4 << 20;   // an image's bytes leave in pieces of about this
const kBatchBuffer = 1 << 20;  // the outputs' buffer to begin with
const kBatchMs = 100;
const kBatchImages = 1000;
const kResults = ['ok', 'read-failed', 'create-failed', 'write-failed'];

// Several slices in flight, taken in order.
function sliceReader(file) {
  let next = 0;
  const pending = [];
  return {
    ahead: kSlicesAhead * kSlice,
    async read() {
      while (pending.length <= kSlicesAhead && next < file.size) {
        const end = Math.min(file.size, next + kSlice);
        pending.push(file.slice(next, end).arrayBuffer());
        next = end;
      }
      return pending.length ? new Uint8Array(await pending.shift()) : null;
    },
    cancel() {},
  };
}

function streamReader(file) {
  const reader = file.stream().getReader();
  return {
    ahead: 0,
    async read() {
      const {done, value} = await reader.read();
      return done ? null : value;
    },
    cancel() { reader.cancel().catch(() => {}); },
  };
}

const openReader =
    /Firefox\//.test(navigator.userAgent) ? streamReader : sliceReader;

// CRC-32 as zip files have it, four bytes a step.
const kCrcTable = (() => {
  const t = new Int32Array(1024);
  for (let n = 0; n < 256; ++n) {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
    t[n] = c;
  }
  for (let n = 0; n < 256; ++n)
    for (let k = 1; k < 4; ++k)
      t[k * 256 + n] = t[(k - 1) * 256 + n] >>> 8 ^ t[t[(k - 1) * 256 + n] & 255];
  return t;
})();

function crc32(crc, bytes) {
  const t = kCrcTable;
  let c = ~crc;
  let i = 0;
  for (const end = bytes.length - 3; i < end; i += 4) {
    c ^= bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 | bytes[i + 3] << 24;
    c = t[768 + (c & 255)] ^ t[512 + (c >>> 8 & 255)] ^
        t[256 + (c >>> 16 & 255)] ^ t[c >>> 24];
  }
  for (; i < bytes.length; ++i) c = t[(c ^ bytes[i]) & 255] ^ c >>> 8;
  return ~c >>> 0;
}

let carver = null;
let job = null;  // the file being carved
const decoder = new TextDecoder();

function held() {
  const bytes = job.reader.ahead + (job.chunk ? job.chunk.length : 0) +
      job.bytes.length;
  job.peak = Math.max(job.peak, bytes);
}

// Copies up to `n` bytes of the input to `ptr` in the WebAssembly memory,
// for the extractor's reads. Resolves to the count, 0 at the end, or -1
// when reading fails: the File can't be read, or it brought less than its
// size (it was changed or removed after it was chosen).
async function readInput(ptr, n) {
  try {
    while (job.chunk === null || job.at === job.chunk.length) {
      job.chunk = null;
      if (job.read >= job.file.size) return 0;
      const chunk = await job.reader.read();
      if (chunk === null) return -1;  // short of the size
      job.chunk = chunk;
      job.at = 0;
      held();
    }
  } catch (e) {
    return -1;
  }
  const count = Math.min(n, job.chunk.length - job.at);
  carver.HEAPU8.set(job.chunk.subarray(job.at, job.at + count), ptr);
  job.at += count;
  job.read += count;
  if (performance.now() - job.sent >= kBatchMs) send();
  return count;
}

// The outputs' bytes go into one buffer, job.bytes, back to back: an
// image's bytes are job.bytes[start, used) while it is open (the extractor
// has one open at a time). A batch sends the finished ones.
function openOutput(ptr, length) {
  const path = decoder.decode(carver.HEAPU8.subarray(ptr, ptr + length));
  job.open = {
    name: path.slice(job.dir.length + 1), size: 0, crc: 0, head: null,
    start: job.used,
  };
  return 0;
}

function writeOutput(id, ptr, n) {
  const out = job.open;
  if (job.used + n > job.bytes.length) {
    const grown = new Uint8Array(Math.max(2 * job.bytes.length, job.used + n));
    grown.set(job.bytes.subarray(0, job.used));
    job.bytes = grown;
    held();
  }
  const data = job.bytes.subarray(job.used, job.used + n);
  data.set(carver.HEAPU8.subarray(ptr, ptr + n));
  job.used += n;
  out.crc = crc32(out.crc, data);
  if (out.size < 24) out.head = job.bytes.slice(out.start, out.start + 24);
  out.size += n;
  if (job.used - out.start >= kPiece) {
    // Pieces go ahead of the batch that finishes the image.
    const part = job.bytes.slice(out.start, job.used).buffer;
    postMessage({type: 'piece', id: job.id, name: out.name, part}, [part]);
    job.used = out.start;
  }
  return 1;
}

function closeOutput(id) {
  const out = job.open;
  job.open = null;
  job.batch.push({
    name: out.name, size: out.size, crc: out.crc,
    head: out.head || new Uint8Array(0), start: out.start, end: job.used,
  });
  if (job.batch.length >= kBatchImages || job.used >= kPiece) send();
  return 0;
}

// Sends the progress and the images finished since the last batch, their
// bytes back to back in one buffer, transferred: the page stores a batch
// as one Blob, since a Blob an image costs a browser far more than the
// bytes. The image still open moves to the front of a new buffer.
function send() {
  const keep = job.open ? job.open.start : job.used;
  const bytes = job.bytes.subarray(0, keep);
  const next = new Uint8Array(job.bytes.length);
  next.set(job.bytes.subarray(keep, job.used));
  if (job.open) job.open.start = 0;
  job.used -= keep;
  postMessage({type: 'batch', id: job.id, read: job.read, images: job.batch, bytes},
              [bytes.buffer]);
  job.bytes = next;
  job.batch = [];
  job.sent = performance.now();
}

const ready = createCarver({
  print() {}, printErr() {}, stdout() {},  // the page shows its own text
  readInput, openOutput, writeOutput, closeOutput,
});

let queue = Promise.resolve();  // one file at a time, in order
onmessage = (event) => {
  const m = event.data;
  if (m.type === 'carve') queue = queue.then(() => carve(m));
  if (m.type === 'read') queue = queue.then(() => readAlone(m.file));
};

async function carve({id, file}) {
  if (carver === null) carver = await ready;
  const FS = carver.FS;
  // A folder of its own, holding an empty file of the input's name: the
  // extractor opens it, names the outputs after it as the command-line
  // tool does, and reads its bytes through readInput.
  const dir = '/in' + id;
  const path = dir + '/' + file.name;
  FS.mkdir(dir);
  FS.writeFile(path, '');
  job = {
    id, file, dir, reader: openReader(file), chunk: null, at: 0, read: 0,
    bytes: new Uint8Array(kBatchBuffer), used: 0, open: null, batch: [],
    sent: performance.now(), peak: 0,
  };
  const start = performance.now();
  let code;
  try {
    code = await carver.ccall('carve', 'number', ['string'], [path],
                              {async: true});
  } catch (e) {
    const text = String(e && e.message || e);
    postMessage({
      type: 'error', id, message: text, memory: memory(),
      outOfMemory: e instanceof RangeError || /memory/i.test(text),
    });
    return;
  }
  send();
  job.reader.cancel();
  FS.unlink(path);
  FS.rmdir(dir);
  postMessage({
    type: 'done', id, result: kResults[code] || 'failed', read: job.read,
    seconds: (performance.now() - start) / 1000, memory: memory(),
  });
  job = null;
}

function memory() {
  return carver.HEAPU8.buffer.byteLength + job.peak;
}

async function readAlone(file) {
  const reader = openReader(file);
  const start = performance.now();
  let read = 0;
  for (let chunk; (chunk = await reader.read()) !== null;) read += chunk.length;
  postMessage({type: 'read', read, seconds: (performance.now() - start) / 1000});
}
