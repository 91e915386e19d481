// The page: takes files from the picker or a drop, has them carved
// (jobs.js), and shows each input's progress and its gallery (gallery.js);
// the zip of every image comes from zip.js.
//
// For automated tests: the page has one <input type="file" multiple>;
// <body data-state="done"> once every file given is finished and every
// image has its element; every image is an element with
// data-name="<output name>" that holds an <a download> link to its bytes;
// and each input's element, [data-input="<name>"], carries data-result,
// data-seconds (the worker's time) and data-memory (the most bytes the
// worker held at once while carving it) once it is finished.
'use strict';

const $ = (selector) => document.querySelector(selector);
const kStatusEvery = 250;  // ms between updates of the counts and progress

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
  for (const job of addInputs(files)) {
    const file = job.file;
    job.progress = element('progress', {max: String(file.size || 1), value: '0'});
    job.status = element('span', {class: 'status'}, 'Waiting…');
    job.cancel = element('button', {type: 'button', class: 'cancel'}, 'Cancel');
    job.cancel.addEventListener('click', () => cancelJob(job));
    job.message = element('p', {class: 'message', role: 'status'});
    job.message.hidden = true;
    job.gallery = element('div', {class: 'gallery'});
    job.view = element('section', {class: 'job', 'data-input': file.name},
        element('h2', {}, file.name, ' ',
                element('span', {class: 'size'}, bytes(file.size))),
        element('div', {class: 'bar'}, job.progress, job.cancel),
        job.status, job.message, job.gallery);
    $('#jobs').append(job.view);
  }
  $('#toolbar').hidden = jobs.length === 0;
  startNext();
  update();
}

// The counts, progress bars and speed, at most every kStatusEvery ms.
let updateTimer = 0;
let updated = 0;
const stale = new Set();

function showLater(job) {
  stale.add(job);
  if (updateTimer) return;
  updateTimer = setTimeout(update, Math.max(0, updated + kStatusEvery - performance.now()));
}

function update() {
  clearTimeout(updateTimer);
  updateTimer = 0;
  updated = performance.now();
  for (const job of stale) showProgress(job);
  stale.clear();
  const images = jobs.reduce((n, job) => n + job.images.length, 0);
  const left = jobs.filter((job) => job.result === null).length;
  $('#summary').textContent = `${plural(images, 'image')} from ` +
      `${plural(jobs.length, 'file')}` + (left ? `, ${left} to go` : '');
  $('#zip').disabled = images === 0 || zipping;
  if (!jobsBusy()) probeNow();
  const done = !jobsBusy() && galleryIdle();
  document.body.dataset.state = done ? 'done' : 'working';
}

function showProgress(job) {
  const size = job.file.size;
  job.progress.value = size ? job.read : (job.result === null ? 0 : 1);
  const seconds = job.seconds || (performance.now() - job.started) / 1000;
  // The speed only once there is enough to go by.
  const speed = job.started && seconds >= 0.1 ?
      ` · ${(job.read / seconds / 1e6).toFixed(0)} MB/s` : '';
  let text = job.started ? `${bytes(job.read)} of ${bytes(size)}${speed} · ` +
      plural(job.images.length, 'image') : 'Waiting…';
  if (job.result === 'ok') text += ` · done in ${job.seconds.toFixed(3)} s`;
  job.status.textContent = text;
}

jobHooks.started = showLater;
jobHooks.progress = showLater;
jobHooks.images = (job, images, batch) => {
  showImages(job, images, batch);
  showLater(job);
};
jobHooks.finished = (job) => {
  const result = job.result;
  job.cancel.hidden = true;
  const name = job.file.name;
  const kept = job.images.length ?
      ` The ${plural(job.images.length, 'image')} found before that are kept.` : '';
  let text = '';
  if (result === 'ok') {
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
    text = `Carving ${name} failed${job.detail ? ` (${job.detail})` : ''}.${kept}`;
  }
  job.view.dataset.memory = job.memory;
  job.view.dataset.seconds = job.seconds.toFixed(3);
  job.view.dataset.result = result;
  job.message.textContent = text;
  job.message.hidden = text === '';
  showProgress(job);
  update();
};
galleryHooks.idle = update;

// All the images in one zip. Names given twice (the same file name
// dropped twice) go in numbered folders.
let zipping = false;

async function downloadZip() {
  zipping = true;
  update();
  const entries = [];
  const used = new Set();
  for (const job of jobs) {
    for (const image of job.images) {
      let path = image.name;
      for (let k = 2; used.has(path); ++k) path = `${k}/${image.name}`;
      used.add(path);
      entries.push({path, crc: image.crc, blob: () => imageBlob(image)});
    }
  }
  const link = $('#zip-link');
  if (link.href) URL.revokeObjectURL(link.href);
  const button = $('#zip');
  const label = button.textContent;
  const zip = await zipImages(entries, (done) => {
    button.textContent = `Making the zip… ${Math.floor(100 * done / entries.length)} %`;
  });
  button.textContent = label;
  link.href = URL.createObjectURL(zip);
  link.download = 'pngcarve-images.zip';
  link.click();
  zipping = false;
  update();
}

const picker = $('#files');
picker.addEventListener('change', () => {
  addFiles(picker.files);
  picker.value = '';
});
$('#zip').addEventListener('click', downloadZip);

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
