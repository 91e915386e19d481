// The queue of inputs, and the worker (worker.js) that carves them one at a
// time, in the order given, by the messages of protocol.js.
//
// addInputs(inputs) queues inputs, each {file, name}: name is the path the
// outputs are named after ("game/data/atlas.pak" for a file of a folder),
// as the command-line tool names them after its argument. cancelJob(job)
// stops one. The page learns what happens through the hooks it sets in
// `jobHooks`:
//   started(job)                  the worker has begun on it
//   images(job, first, count)    a batch of finished images, in order,
//                                 now in the catalog (catalog.js) from
//                                 index `first` on
//   progress(job)                 job.read has moved on
//   finished(job)                 job.result is set: 'ok', 'read-failed',
//                                 'write-failed', 'out-of-memory',
//                                 'cancelled' or 'failed' (job.detail says
//                                 why)
// A job is {id, file, name, read, result, seconds, memory, imageCount}.
// jobsBusy() is true while any input is
// still to carve; startWorker(name) starts a worker of the page's.
// askCarver(message, transfer) gives the worker a message it answers once
// (a piece of the record, protocol.js), after what it was given before,
// and resolves to its answer.
import {addImages, addTwins, imageCount, nameJob} from './catalog.js';

export const jobs = [];     // every input given, in order
export const jobHooks = {};
const waiting = [];  // the jobs not yet given to the worker
// Inputs are given to the worker kAhead ahead, so that it doesn't wait for
// the page between small files, and reads the small ones while it carves
// those before them (a folder of 10,000 small files took 64 s with 4 ahead,
// 43 s with 16). It carves them in order: sent[0] is the one it is on.
const kAhead = 16;
let sent = [];
let carver = null;

export function addInputs(inputs) {
  const added = [];
  for (const {file, name} of inputs) {
    const job = {
      id: jobs.length, file, name, read: 0, result: null, seconds: 0, memory: 0,
      imageCount: 0,
    };
    nameJob(job);
    jobs.push(job);
    waiting.push(job);
    added.push(job);
  }
  return added;
}

export function startNext() {
  while (sent.length < kAhead && waiting.length) {
    const job = waiting.shift();
    if (carver === null) startCarver();
    carver.postMessage({type: 'carve', id: job.id, file: job.file, name: job.name});
    sent.push(job);
  }
}

// The worker is replaced; what it was given after sent[0] goes to the
// new one.
function restartCarver() {
  if (carver) carver.terminate();
  carver = null;
  for (const {reject} of asked.values()) reject(new Error('the carving worker stopped'));
  asked.clear();
  waiting.unshift(...sent.slice(1));
  sent = sent.slice(0, 1);
}

// A worker, started from its module, or in the page as one file, from the
// text of the <script type="text/plain"> named after it, a bundle with no
// imports left, through a blob: URL, as a classic script: Chromium starts
// no module worker from a blob: URL in a page opened from the disk.
const workerUrls = new Map();

export function startWorker(name) {
  const inline = document.getElementById(name);
  if (inline === null) return new Worker(name, {type: 'module'});
  if (!workerUrls.has(name)) {
    workerUrls.set(name, URL.createObjectURL(
        new Blob([inline.textContent], {type: 'text/javascript'})));
  }
  return new Worker(workerUrls.get(name));
}

const asked = new Map();  // what the worker is to answer, by number
let asks = 0;

export function askCarver(message, transfer = []) {
  if (carver === null) startCarver();
  const ask = ++asks;
  return new Promise((resolve, reject) => {
    asked.set(ask, {resolve, reject});
    carver.postMessage({...message, ask}, transfer);
  });
}

function startCarver() {
  carver = startWorker('worker.js');
  carver.onmessage = (event) => {
    const m = event.data;
    if (m.ask !== undefined) {
      const {resolve, reject} = asked.get(m.ask);
      asked.delete(m.ask);
      if (m.error === undefined) resolve(m.bytes);
      else reject(new Error(m.error));
      return;
    }
    const job = jobs[m.id];
    if (job.result !== null) return;  // cancelled meanwhile
    if (m.type === 'begun') {
      job.started = performance.now();
      jobHooks.started(job);
    } else if (m.type === 'batch') {
      job.read = m.read;
      if (m.images.count) {
        const first = imageCount;
        addImages(job, m.images);
        jobHooks.images(job, first, m.images.count);
      }
      jobHooks.progress(job);
    } else if (m.type === 'twins') {
      const first = imageCount;
      addTwins(job, m.twins);
      jobHooks.images(job, first, m.twins.length);
    } else if (m.type === 'done') {
      job.read = m.read;
      job.memory = m.memory;
      job.seconds = m.seconds;
      finishJob(job, m.result);
    } else if (m.type === 'error') {
      job.memory = m.memory;
      restartCarver();
      finishJob(job, m.outOfMemory ? 'out-of-memory' : 'failed', m.message);
    }
  };
  carver.onerror = (event) => {
    event.preventDefault();
    restartCarver();
    if (sent.length) finishJob(sent[0], 'failed', event.message || 'the worker stopped');
  };
}

function finishJob(job, result, detail) {
  job.result = result;
  job.detail = detail;
  const at = sent.indexOf(job);
  if (at >= 0) sent.splice(at, 1);
  jobHooks.finished(job);
  startNext();
}

export function cancelJob(job) {
  if (job.result !== null) return;
  if (job === sent[0]) {
    restartCarver();
  } else if (sent.includes(job)) {
    carver.postMessage({type: 'skip', id: job.id});
  } else {
    waiting.splice(waiting.indexOf(job), 1);
  }
  finishJob(job, 'cancelled');
}

export function jobsBusy() {
  return sent.length > 0 || waiting.length > 0;
}
