// Carves files in a Web Worker, with the extractor compiled to WebAssembly
// (carve.js, carve.wasm), so that the page never freezes.
//
// The page sends one file at a time:   {type: 'carve', id, file}
// and gets back, for that id:
//   {type: 'progress', id, read}        bytes of the file read so far
//   {type: 'image', id, name, bytes}    a finished image, its ArrayBuffer
//                                       transferred, not copied
//   {type: 'done', id, result, read, seconds, memory}
//                                       result: 'ok', 'read-failed' or
//                                       'write-failed'; memory: the most
//                                       bytes the worker held at once
//   {type: 'error', id, message, outOfMemory, memory}
//                                       the carve broke off; this worker is
//                                       done for and must be replaced
//
// The file is read lazily, as a stream, a block at a time, so a file of
// any size is never held whole. Each image is taken out of the in-memory
// file system as soon as it is closed, so the worker holds at most a few
// read blocks and one image at a time, besides the WebAssembly memory.
'use strict';
importScripts('carve.js');

const kBlock = 1 << 20;  // the most bytes asked of the File in one read
const kAhead = 8;        // reads asked for ahead of the extractor
const kProgressEvery = 100;  // ms between progress messages
const kResults = ['ok', 'read-failed', 'create-failed', 'write-failed'];

let job = null;  // the file being carved
let peak = 0;    // the most bytes held at once, besides the wasm memory

function held(bytes) {
  peak = Math.max(peak, bytes);
}

// Copies up to `n` bytes of the input to `ptr` in the WebAssembly memory,
// for the extractor's reads. Resolves to the count, 0 at the end, or -1
// when reading fails: the File can't be read, or it brought less than its
// size (it was changed or removed after it was chosen).
async function readInput(ptr, n) {
  deliver();
  try {
    while (job.chunk === null || job.chunkAt === job.chunk.length) {
      if (job.read === job.file.size) return 0;
      if (job.chunk) job.spare.push(job.chunk.buffer);
      job.chunk = null;
      // Several reads stay asked for, so the browser goes on reading while
      // the extractor works through what has come.
      while (job.pending.length < kAhead) {
        const buffer = job.spare.pop() || new ArrayBuffer(kBlock);
        job.pending.push(job.reader.read(new Uint8Array(buffer)));
      }
      const {done, value} = await job.pending.shift();
      if (done) return -1;  // short of the size
      job.chunk = value;
      job.chunkAt = 0;
      held(kAhead * kBlock);
    }
  } catch (e) {
    return -1;
  }
  const count = Math.min(n, job.chunk.length - job.chunkAt);
  carver.HEAPU8.set(job.chunk.subarray(job.chunkAt, job.chunkAt + count), ptr);
  job.chunkAt += count;
  job.read += count;
  const now = performance.now();
  if (now - job.reported >= kProgressEvery) {
    job.reported = now;
    postMessage({type: 'progress', id: job.id, read: job.read});
  }
  return count;
}

// Hands every output that is closed to the page, and removes it. It runs
// each time the extractor asks for more input (an image being copied is
// still open then, and waits for the next time) and at the end.
function deliver() {
  const FS = job.FS;
  const open = new Set(FS.streams.filter((s) => s).map((s) => s.node));
  const names = FS.readdir(job.dir)
                    .filter((n) => n !== '.' && n !== '..' && n !== job.name)
                    .sort((a, b) => a.localeCompare(b, 'en', {numeric: true}));
  for (const name of names) {
    const path = job.dir + '/' + name;
    if (open.has(FS.lookupPath(path).node)) continue;
    const bytes = FS.readFile(path);
    FS.unlink(path);
    held(kAhead * kBlock + bytes.length);
    postMessage({type: 'image', id: job.id, name, bytes: bytes.buffer},
                [bytes.buffer]);
  }
}

let carver = null;
let queue = Promise.resolve();  // carves one file at a time, in order

// The console text, which the page shows in its own way, is dropped.
const ready = createCarver({print() {}, printErr() {}, stdout() {}, readInput});

onmessage = (event) => {
  if (event.data.type !== 'carve') return;
  queue = queue.then(() => carve(event.data));
};

function memory() {
  return carver.HEAPU8.buffer.byteLength + peak;
}

async function carve({id, file}) {
  if (carver === null) carver = await ready;
  const FS = carver.FS;
  // A folder of its own, so that nothing but this input and its outputs is
  // there. The input keeps its own name, so the outputs get the names the
  // command-line tool gives them; it is an empty file, as its bytes come
  // from readInput.
  const dir = '/in' + id;
  const path = dir + '/' + file.name;
  FS.mkdir(dir);
  FS.writeFile(path, '');
  job = {id, file, FS, dir, name: file.name, reader: null, chunk: null,
         pending: [], spare: [],
         chunkAt: 0, read: 0, reported: performance.now()};
  const start = performance.now();
  let code;
  try {
    job.reader = file.stream().getReader({mode: 'byob'});
    code = await carver.ccall('carve', 'number', ['string'], [path],
                              {async: true});
    deliver();
  } catch (e) {
    const text = String(e && e.message || e);
    postMessage({
      type: 'error', id, message: text, memory: memory(),
      outOfMemory: e instanceof RangeError || /memory/i.test(text),
    });
    return;
  }
  job.reader.cancel().catch(() => {});
  const read = job.read;
  FS.unlink(path);
  FS.rmdir(dir);
  job = null;
  postMessage({
    type: 'done', id, result: kResults[code] || 'failed', read,
    seconds: (performance.now() - start) / 1000, memory: memory(),
  });
}
