// Carves files in a Web Worker, with the extractor compiled to WebAssembly
// (carve.js, carve.wasm), so that the page never freezes.
//
// The page sends it files to carve, one message each, and it answers as
// protocol.js has it. A batch of images goes out every kBatchMs, or sooner
// once it holds kBatchImages images, so the page gets few messages however
// dense the input.
//
// Once a file is carved, each image whose check failed is mended from the
// file's pieces, or its rows before the break salvaged (carve.cc
// mend_image), reading the file again where it must, and sent as a twin.
//
// It also times reading a file alone, and writes the page's record from
// the catalog's columns with the core (carve.cc), as protocol.js has it.
//
// The file is read a block at a time, so a file of any size is never held
// whole, with several reads asked for ahead so that the browser reads on
// while the extractor works. A small file is read in one go, from when it
// is sent, while the files before it are carved.
import createCarver from './carve.js';
import {crc32} from './crc.js';
import {kBatchColumns, kChecks, kDigestBytes, kFlagIend, kFlagSized, kFlagSound, resultOf} from './protocol.js';

const kPart = 64 << 20;   // the bytes of one part of the file
const kChunk = 64 << 10;  // what a read of Chromium's streams gives
const kBatchMs = 100;
const kBatchImages = 1000;
// What carve() returns for an input carved whole but for an image's hashes,
// which could not be had (out of memory).
const kHashesLost = 100;

// A file's bytes in order, with reads asked for ahead: take() gives the
// next chunk if it has come (undefined if not yet, null at the end, and
// throws if reading failed); arrived() resolves once it has; held() is
// the bytes that have come and not been taken.
function aheadReader(start, ahead) {
  const queue = [];
  const fill = () => {
    while (queue.length < ahead) {
      const promise = start();
      if (promise === null) break;
      const entry = {settled: false, value: null, error: null};
      entry.promise = promise.then(
          (value) => { entry.value = value; }, (error) => { entry.error = error; })
          .finally(() => { entry.settled = true; });
      queue.push(entry);
    }
  };
  return {
    take() {
      fill();
      if (queue.length === 0) return null;
      if (!queue[0].settled) return undefined;
      const {value, error} = queue.shift();
      if (error) throw error;
      fill();
      return value;
    },
    arrived() {
      fill();
      return queue.length ? queue[0].promise : Promise.resolve();
    },
    held() {
      return queue.reduce((n, e) => n + (e.value ? e.value.length : 0), 0);
    },
  };
}

// One part of the file, read by its own stream with kStreamAhead reads
// asked for ahead. With kOwnBuffers, into buffers of our own, used again
// once taken (recycle), so that reading leaves no garbage behind for the
// collector to find late; otherwise by the chunks the stream gives.
function streamReader(blob) {
  const stream = blob.stream().getReader(kOwnBuffers ? {mode: 'byob'} : {});
  const spare = [];
  let ended = false;
  const reader = aheadReader(() => {
    if (ended) return null;
    const read = kOwnBuffers ?
        stream.read(new Uint8Array(spare.pop() || new ArrayBuffer(kRead))) :
        stream.read();
    return read.then(({done, value}) => {
      ended = ended || done;
      return done ? null : value;
    });
  }, kStreamAhead);
  return {
    ...reader,
    recycle(chunk) { if (kOwnBuffers) spare.push(chunk.buffer); },
    cancel() { stream.cancel().catch(() => {}); },
  };
}

// The file's parts, `atOnce` of them read at the same time, taken in order.
function partsReader(file, size, atOnce) {
  let next = 0;
  const parts = [];
  const open = () => {
    while (parts.length < atOnce && next < file.size) {
      const end = Math.min(file.size, next + size);
      parts.push(streamReader(file.slice(next, end)));
      next = end;
    }
  };
  return {
    take() {
      for (open(); parts.length; open()) {
        const chunk = parts[0].take();
        if (chunk !== null) return chunk;
        parts.shift();
      }
      return null;
    },
    arrived() {
      open();
      return parts.length ? parts[0].arrived() : Promise.resolve();
    },
    recycle(chunk) { if (parts.length) parts[0].recycle(chunk); },
    cancel() { for (const part of parts) part.cancel(); },
    held() { return parts.reduce((n, part) => n + part.held(), 0); },
  };
}

// Measured: Chromium reads fastest with two parts at once, by the chunks
// its streams give (its reads into buffers of our own sometimes stall for
// good, or crash the tab); Firefox with one stream and eight reads of
// 1 MiB, into buffers of our own, asked for ahead.
const kFirefox = /Firefox\//.test(navigator.userAgent);
const kParts = kFirefox ? 1 : 2;
const kOwnBuffers = kFirefox;
const kStreamAhead = kFirefox ? 8 : 16;
const kRead = 1 << 20;
const kWhole = 1 << 20;  // a file this small is read in one go
const openReader = (file) =>
  file.size <= kWhole ? wholeReader(file) : partsReader(file, kPart, kParts);

// A small file in one read: a stream and its reads ahead cost a browser
// more than such a file's bytes, which tells in a folder of thousands.
function wholeReader(file) {
  let asked = false;
  const reader = aheadReader(() => {
    if (asked) return null;
    asked = true;
    return file.arrayBuffer().then((buffer) => new Uint8Array(buffer));
  }, 1);
  return {...reader, recycle() {}, cancel() {}};
}

let carver = null;
let job = null;  // the file being carved

function held() {
  // The reads in flight, and what has come of them and of the small files
  // read ahead.
  let bytes = kParts * kStreamAhead * (kOwnBuffers ? kRead : kChunk) +
      job.reader.held() + (job.chunk ? job.chunk.length : 0);
  for (const reader of readAhead.values()) bytes += reader.held();
  job.peak = Math.max(job.peak, bytes);
}

// Copies up to `n` bytes of the input to `ptr` in the WebAssembly memory,
// for the extractor's reads, from the chunks that have come. Returns the
// count, 0 at the end, -1 when reading failed (the File can't be read, or
// it brought less than its size: it was changed or removed after it was
// chosen), or null when nothing has come yet. The extractor then waits in
// readInput, the only call that suspends it, which is worth avoiding.
function readNow(ptr, n) {
  let count = 0;
  while (count < n) {
    if (job.chunk === null || job.at === job.chunk.length) {
      if (job.chunk !== null) job.reader.recycle(job.chunk);
      job.chunk = null;
      if (job.failed || job.read >= job.file.size) break;
      let chunk;
      try {
        chunk = job.reader.take();
      } catch (e) {
        chunk = null;
      }
      if (chunk === undefined) break;
      if (chunk === null) {  // short of the size, or unreadable
        job.failed = true;
        break;
      }
      job.chunk = chunk;
      job.at = 0;
      held();
    }
    const take = Math.min(n - count, job.chunk.length - job.at);
    carver.HEAPU8.set(job.chunk.subarray(job.at, job.at + take), ptr + count);
    job.at += take;
    job.read += take;
    count += take;
  }
  if (performance.now() - job.sent >= kBatchMs) send();
  if (count > 0) return count;
  if (job.failed) return -1;
  if (job.read >= job.file.size) return 0;
  return null;
}

async function readInput(ptr, n) {
  for (;;) {
    const count = readNow(ptr, n);
    if (count !== null) return count;
    await job.reader.arrived();
  }
}

// An image just carved: where its IHDR tag stood, and the `run` bytes of
// the input it holds. What the trace of its bytes found (carve.cc): its
// IHDR's width and height (-1 when it is too short to hold them); its
// SHA-256 and MD5, 48 bytes at `digests`; how many IHDR tags lie inside
// it, the offsets of the first `listed` of them as doubles at `offsets`;
// its structure check, by its index in kChecks, whether it is sound, and
// the CRC-32 of its bytes. One carved inside another's run has its name
// and its parent's; the extractor's have none. `notCarved`: the tags inside it that began no image.
function imageEnded(offset, run, iend, width, height, digests, hidden, offsets, listed,
                    check, sound, crc, name, parent, notCarved) {
  if (check !== 0 && kChecks[check] !== 'junk') job.broken.push(offset);
  const batch = job.batch;
  const k = batch.count++;
  batch.offsets[k] = offset;
  batch.runs[k] = run;
  batch.flags[k] = (iend ? kFlagIend : 0) | (width < 0 ? 0 : kFlagSized) | (sound ? kFlagSound : 0);
  batch.widths[k] = Math.max(width, 0);
  batch.heights[k] = Math.max(height, 0);
  batch.crcs[k] = crc;
  batch.checks[k] = check;
  batch.digests.set(carver.HEAPU8.subarray(digests, digests + kDigestBytes), k * kDigestBytes);
  if (hidden) {
    batch.hidden.push([k, hidden, Array.from(new Float64Array(carver.HEAPU8.buffer, offsets, listed))]);
  }
  if (name) batch.nested.push([k, name, parent]);
  if (notCarved) batch.notCarved.push([k, notCarved]);
  if (batch.count >= kBatchImages) send();
}

// Reads `n` bytes of the file at `offset` into `ptr`, for mending; returns
// how many it read, fewer only at its end, or -1 when it could not be read.
function readAt(offset, ptr, n) {
  try {
    const bytes = new Uint8Array(
        new FileReaderSync().readAsArrayBuffer(job.file.slice(offset, offset + n)));
    if (bytes.length > n) return -1;
    carver.HEAPU8.set(bytes, ptr);
    return bytes.length;
  } catch (e) {
    return -1;
  }
}

// The twin mend_image made of the image whose tag is at job.mending: its
// name, bytes, width and height, hashes (48 bytes at `digests`) and record.
function twinMade(mended, name, bytes, size, width, height, digests, csv, dfxml) {
  const offset = job.mending;
  const png = carver.HEAPU8.slice(bytes, bytes + size);
  job.twins.push({
    name, offset, kind: mended ? 'mended' : 'salvaged', png, width, height, crc: crc32(0, png),
    digests: carver.HEAPU8.slice(digests, digests + kDigestBytes), csv, dfxml,
  });
}

// Mends or salvages the broken images of the file just carved.
function mendBroken(name) {
  for (let k = 0; k < job.broken.length; ++k) {
    job.mending = job.broken[k];
    if (carver.ccall('mend_image', 'number', ['string', 'number'], [name, k]) < 0) {
      throw new Error(carver.ccall('mend_failure', 'string', [], []));
    }
  }
  if (job.twins.length) {
    postMessage({type: 'twins', id: job.id, twins: job.twins},
                job.twins.map((twin) => twin.png.buffer));
  }
}

// A batch of kBatchImages images at most, as columns (protocol.js).
function newBatch() {
  const batch = {count: 0, digests: new Uint8Array(kBatchImages * kDigestBytes), hidden: [],
                 nested: [], notCarved: []};
  for (const [name, Type] of Object.entries(kBatchColumns)) batch[name] = new Type(kBatchImages);
  return batch;
}

// Sends the progress and the images finished since the last batch.
function send() {
  const batch = job.batch;
  const images = {count: batch.count, hidden: batch.hidden, nested: batch.nested,
                  notCarved: batch.notCarved,
                  digests: batch.digests.slice(0, batch.count * kDigestBytes)};
  for (const name of Object.keys(kBatchColumns)) images[name] = batch[name].slice(0, batch.count);
  postMessage({type: 'batch', id: job.id, read: job.read, images},
              Object.values(images).filter(ArrayBuffer.isView).map((column) => column.buffer));
  batch.count = 0;
  batch.hidden = [];
  batch.nested = [];
  batch.notCarved = [];
  job.sent = performance.now();
}

const ready = createCarver({
  // In the page as one file, the WebAssembly comes with this script, whose
  // blob: address nothing can be found beside; in the site, carve.wasm
  // is beside it.
  wasmBinary: self.carveWasm, locateFile: (file) => file,
  print() {}, printErr() {}, stdout() {},  // the page shows its own text
  readNow, readInput, imageEnded, readAt, twinMade,
});

let queue = Promise.resolve();  // one file at a time, in order
const skipped = new Set();      // files cancelled before their turn
// The reads of small files waiting their turn, begun as they come: each
// read waits some milliseconds on the browser, which in a folder of
// thousands of small files would otherwise come one after another.
const readAhead = new Map();
onmessage = (event) => {
  const m = event.data;
  if (m.type === 'carve') {
    if (m.file.size <= kWhole) {
      const reader = openReader(m.file);
      reader.arrived();
      readAhead.set(m.id, reader);
    }
    queue = queue.then(() => skipped.delete(m.id) || carve(m));
  }
  if (m.type === 'skip') {
    skipped.add(m.id);
    readAhead.delete(m.id);
  }
  if (m.type === 'read') queue = queue.then(() => readAlone(m.file));
  if (m.type === 'record') {
    queue = queue.then(() => record(m)).catch((e) => {
      postMessage({type: 'record', ask: m.ask, error: String(e && e.message || e)});
    });
  }
};

async function carve({id, file, name = file.name}) {
  if (carver === null) carver = await ready;
  job = {
    id, file, reader: readAhead.get(id) || openReader(file), chunk: null, at: 0, read: 0,
    failed: false, batch: newBatch(), sent: performance.now(), peak: 0, broken: [],
    mending: null, twins: [],
  };
  readAhead.delete(id);
  postMessage({type: 'begun', id});
  const start = performance.now();
  let code;
  try {
    // The extractor names the outputs after `name`, as the command-line
    // tool does after its argument, and reads the file through readInput.
    code = await carver.ccall('carve', 'number', ['string'], [name], {async: true});
    send();
    if (code === kHashesLost) {
      throw new RangeError("an image's hashes could not be computed (out of memory)");
    }
    if (resultOf(code) === 'ok') mendBroken(name);
  } catch (e) {
    const text = String(e && e.message || e);
    postMessage({
      type: 'error', id, message: text, memory: memory(),
      outOfMemory: e instanceof RangeError || /memory/i.test(text),
    });
    return;
  }
  job.reader.cancel();
  postMessage({
    type: 'done', id, result: resultOf(code), read: job.read,
    seconds: (performance.now() - start) / 1000, memory: memory(),
  });
  job = null;
}

// A piece of the page's record, made by the core (carve.cc) from the
// fields the message carries (protocol.js), sent back as its bytes.
async function record(m) {
  if (carver === null) carver = await ready;
  const encoder = new TextEncoder();
  const strings = (list) => encoder.encode(list.map((text) => `${text}\0`).join(''));
  // The arrays one after another in the WebAssembly memory, each at an
  // address its elements align to; then the call, with their addresses.
  const call = (fn, ...args) => {
    const arrays = args.filter((a) => ArrayBuffer.isView(a));
    let size = 0;
    const at = arrays.map((a) => {
      const here = size;
      size += Math.ceil(a.byteLength / 8) * 8;
      return here;
    });
    const base = carver._malloc(Math.max(size, 8));
    if (!base) throw new Error('out of memory');
    arrays.forEach((a, k) => carver.HEAPU8.set(new Uint8Array(a.buffer, a.byteOffset, a.byteLength),
                                               base + at[k]));
    try {
      let k = 0;
      const ptr = fn(...args.map((a) => (ArrayBuffer.isView(a) ? base + at[k++] : a)));
      return carver.HEAPU8.slice(ptr, ptr + carver._record_size());
    } finally {
      carver._free(base);
    }
  };
  let bytes;
  if (m.part === 'begin') {
    bytes = call(carver._record_begin, m.dfxml, strings(m.inputs), m.inputs.length);
  } else if (m.part === 'images') {
    bytes = call(carver._record_images, m.dfxml, strings([m.input]), m.count, m.numbers,
                 strings(m.names), m.offsets, m.runs, m.flags, m.widths, m.heights, m.checks,
                 m.digests, m.hiddenCounts, m.listed, m.hidden, m.notCarved);
  } else {
    bytes = call(carver._record_end, m.dfxml, strings(m.failures.flat()), m.failures.length);
  }
  postMessage({type: 'record', ask: m.ask, bytes}, [bytes.buffer]);
}

function memory() {
  return carver.HEAPU8.buffer.byteLength + job.peak;
}

async function readAlone(file) {
  const reader = openReader(file);
  const start = performance.now();
  let read = 0;
  for (;;) {
    const chunk = reader.take();
    if (chunk === undefined) await reader.arrived();
    else if (chunk === null) break;
    else {
      read += chunk.length;
      reader.recycle(chunk);
    }
  }
  postMessage({type: 'read', read, seconds: (performance.now() - start) / 1000});
}
