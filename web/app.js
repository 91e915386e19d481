// The page: takes files from the picker or a drop, has the worker
// (worker.js) carve them one at a time, and shows each input's progress
// and a gallery of its images as they are finished.
//
// For automated tests: the page has one <input type="file" multiple>;
// <body data-state="done"> once every file given is finished; and every
// image is an element with data-name="<output name>" that holds an
// <a download> link to its bytes.
'use strict';

const $ = (selector) => document.querySelector(selector);
const picker = $('#files');
const jobsView = $('#jobs');
const zipButton = $('#zip');

const jobs = [];     // every input given, in order
const queue = [];    // the inputs still to carve
let worker = null;
let current = null;  // the job the worker is carving

function bytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let i = -1;
  do { n /= 1024; ++i; } while (n >= 1024 && i < units.length - 1);
  return `${n.toFixed(n < 10 ? 2 : 1)} ${units[i]}`;
}

function plural(n, word) {
  return `${n.toLocaleString('en')} ${word}${n === 1 ? '' : 's'}`;
}

function element(tag, attributes = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes)) {
    if (k === 'class') e.className = v; else e.setAttribute(k, v);
  }
  e.append(...children);
  return e;
}

function addFiles(files) {
  for (const file of files) {
    const job = {
      file, id: jobs.length, images: [], read: 0, state: 'queued',
      started: 0,
    };
    job.progress = element('progress', {max: String(file.size || 1), value: '0'});
    job.status = element('span', {class: 'status'}, 'Waiting…');
    job.cancel = element('button', {type: 'button', class: 'cancel'}, 'Cancel');
    job.cancel.addEventListener('click', () => cancel(job));
    job.message = element('p', {class: 'message', role: 'status'});
    job.message.hidden = true;
    job.gallery = element('ul', {class: 'gallery'});
    job.view = element('section', {class: 'job', 'data-input': file.name},
        element('h2', {}, file.name, ' ',
                element('span', {class: 'size'}, bytes(file.size))),
        element('div', {class: 'bar'}, job.progress, job.cancel),
        job.status, job.message, job.gallery);
    jobsView.append(job.view);
    jobs.push(job);
    queue.push(job);
  }
  $('#toolbar').hidden = jobs.length === 0;
  next();
}

function next() {
  if (current === null && queue.length > 0) {
    current = queue.shift();
    current.state = 'carving';
    current.started = performance.now();
    showProgress(current);
    if (worker === null) startWorker();
    worker.postMessage({type: 'carve', id: current.id, file: current.file});
  }
  const busy = current !== null;
  document.body.dataset.state = busy ? 'working' : 'done';
  summarise();
}

function startWorker() {
  worker = new Worker('worker.js');
  worker.onmessage = (event) => {
    const m = event.data;
    const job = jobs[m.id];
    if (job !== current) return;
    if (m.type === 'progress') {
      job.read = m.read;
      showProgress(job);
    } else if (m.type === 'image') {
      addImage(job, m.name, m.bytes);
    } else if (m.type === 'done') {
      job.read = m.read;
      job.view.dataset.memory = m.memory;
      job.seconds = m.seconds;
      job.view.dataset.seconds = m.seconds.toFixed(3);
      finish(job, m.result);
    } else if (m.type === 'error') {
      job.view.dataset.memory = m.memory;
      stopWorker();
      finish(job, m.outOfMemory ? 'out-of-memory' : 'failed', m.message);
    }
  };
  worker.onerror = (event) => {
    event.preventDefault();
    stopWorker();
    if (current) finish(current, 'failed', event.message || 'the worker stopped');
  };
}

function stopWorker() {
  if (worker) worker.terminate();
  worker = null;
}

function showProgress(job) {
  const size = job.file.size;
  job.progress.value = size ? job.read : 1;
  const seconds = job.seconds || (performance.now() - job.started) / 1000;
  // The speed only once there is enough to go by.
  const speed = seconds >= 0.1 ? ` · ${(job.read / seconds / 1e6).toFixed(0)} MB/s` : '';
  job.status.textContent = `${bytes(job.read)} of ${bytes(size)}${speed} · ` +
      plural(job.images.length, 'image');
}

// A finished image, as the worker handed it over: its name, size, width
// and height from IHDR, a thumbnail if the browser can decode it, and a
// link that saves its bytes.
function addImage(job, name, buffer) {
  const data = new Uint8Array(buffer);
  const blob = new Blob([data], {type: 'image/png'});
  const url = URL.createObjectURL(blob);
  job.images.push({name, blob});
  let dimensions = 'no size in IHDR';
  if (data.length >= 24) {
    const view = new DataView(buffer);
    dimensions = `${view.getUint32(16)} × ${view.getUint32(20)}`;
  }
  const img = element('img', {alt: name});
  const item = element('li', {class: 'image', 'data-name': name},
      element('div', {class: 'thumb'}, img),
      element('a', {href: url, download: name, class: 'name'}, name),
      element('span', {class: 'meta'},
              `${data.length.toLocaleString('en')} bytes · ${dimensions}`));
  img.src = url;
  img.decode().then(() => { item.dataset.decodable = 'yes'; }, () => {
    item.dataset.decodable = 'no';
    img.remove();
    item.querySelector('.thumb').append(
        element('span', {class: 'undecodable'}, 'Not decodable'));
  });
  job.gallery.append(item);
  zipButton.disabled = false;
  showProgress(job);
}

function finish(job, result, detail) {
  job.state = result;
  job.cancel.hidden = true;
  const name = job.file.name;
  const kept = job.images.length ?
      ` The ${plural(job.images.length, 'image')} found before that are kept.` : '';
  let text = '';
  if (result === 'ok') {
    showProgress(job);
    job.status.textContent += ` · done in ${job.view.dataset.seconds} s`;
    if (job.images.length === 0) text = `No PNG images found in ${name}.`;
  } else if (result === 'read-failed') {
    text = `${name} could not be read past ${bytes(job.read)}: was it ` +
        `moved, changed or removed after it was chosen?${kept}`;
  } else if (result === 'out-of-memory') {
    text = `The browser ran out of memory carving ${name}.${kept} ` +
        'Close other tabs, or carve this file on its own.';
  } else if (result === 'cancelled') {
    text = `Cancelled after ${bytes(job.read)}.${kept}`;
  } else {
    text = `Carving ${name} failed${detail ? ` (${detail})` : ''}.${kept}`;
  }
  job.view.dataset.result = result;
  job.message.textContent = text;
  job.message.hidden = text === '';
  if (job === current) current = null;
  next();
}

function cancel(job) {
  if (job === current) {
    stopWorker();
    finish(job, 'cancelled');
  } else if (job.state === 'queued') {
    queue.splice(queue.indexOf(job), 1);
    finish(job, 'cancelled');
  }
}

function summarise() {
  const images = jobs.reduce((n, job) => n + job.images.length, 0);
  const waiting = queue.length + (current ? 1 : 0);
  $('#summary').textContent = `${plural(images, 'image')} from ` +
      `${plural(jobs.length, 'file')}` + (waiting ? `, ${waiting} to go` : '');
}

// All the images in one zip, stored as they are (no recompression). Names
// given twice (the same file name dropped twice) go in numbered folders.
async function downloadZip() {
  zipButton.disabled = true;
  const parts = [];
  const zip = new fflate.Zip((error, chunk) => {
    if (!error) parts.push(chunk);
  });
  const used = new Set();
  for (const job of jobs) {
    for (const {name, blob} of job.images) {
      let path = name;
      for (let k = 2; used.has(path); ++k) path = `${k}/${name}`;
      used.add(path);
      const entry = new fflate.ZipPassThrough(path);
      zip.add(entry);
      entry.push(new Uint8Array(await blob.arrayBuffer()), true);
    }
  }
  zip.end();
  const link = $('#zip-link');
  if (link.href) URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(new Blob(parts, {type: 'application/zip'}));
  link.download = 'pngcarve-images.zip';
  link.click();
  zipButton.disabled = false;
}

picker.addEventListener('change', () => {
  addFiles(picker.files);
  picker.value = '';
});
zipButton.addEventListener('click', downloadZip);

const drop = $('#drop');
for (const type of ['dragenter', 'dragover']) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
}
for (const type of ['dragleave', 'drop']) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    if (type === 'drop' || event.relatedTarget === null)
      drop.classList.remove('over');
  });
}
document.addEventListener('drop', (event) => {
  const files = event.dataTransfer && event.dataTransfer.files;
  if (files && files.length) addFiles(files);
});
