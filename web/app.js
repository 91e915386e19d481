// The page: takes files and folders from the pickers or a drop, has them
// carved (jobs.js), and shows each input's progress and its gallery
// (gallery.js); the images shown go into a zip (zip.js) or straight into a
// folder (save.js).
//
// For automated tests: input[type=file][multiple]:not([webkitdirectory])
// is the files picker and input[type=file][webkitdirectory] the folder
// picker; button[data-action=save-folder] saves to a folder, where the
// browser can; button[data-action=zip] makes the zip of the images shown,
// then offers it as a[data-zip][href]; button[data-action=report] makes
// the report of every image carved (report.js), then offers it as
// a[data-report][href][download]; input[data-filter=undecodable],
// input[data-filter=duplicates] and input[data-filter=small] are the
// filters, the last with its size in input[data-filter-size]. The [data-summary]
// element carries data-images (images found), data-shown (those no filter
// hides), data-inputs, data-failed (inputs whose carve failed) and
// data-memory (the most bytes the worker held at once, over all inputs).
// <body data-state="done">
// once every input given is finished, every image has its element and
// every save has been written. Every image is an element with
// data-name="<output name>", data-offset, data-run and data-ending (where
// in its input it lies: gallery.js), holding an <a download> link to its
// bytes; each input's element, [data-input="<name>"], carries
// data-result, data-seconds (the worker's time) and data-memory (the most
// bytes the worker held at once while carving it) once it is finished.
import {count, element, nextFrame} from './dom.js';
import {
  filterCounts, galleryHooks, galleryIdle, isHidden, probeNow, setFilter, setSmallSize,
  showImages,
} from './gallery.js';
import {addInputs, cancelJob, jobHooks, jobs, jobsBusy, startNext} from './jobs.js';
import {reportCsv} from './report.js';
import {saveHooks, saveLater, saver, saveTo, savesPending} from './save.js';
import {zipImages} from './zip.js';

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
  return `${count.format(n)} ${word}${n === 1 ? '' : 's'}`;
}

// Outputs of an earlier carve, which a folder may well hold.
const kOutputName = /\.\d{4,}\.png$/;

// Queues `inputs`, [{file, name}]. Those of a folder come in path order,
// and its earlier outputs are passed over.
function addFiles(inputs, folder = false) {
  if (folder) {
    const all = inputs.length;
    inputs = inputs.filter((input) => !kOutputName.test(input.name))
        .sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
    passedOver += all - inputs.length;
  }
  addInputs(inputs);
  $('#toolbar').hidden = jobs.length === 0;
  startNext();
  askViews();
  update();
}

let passedOver = 0;  // earlier outputs in the folders given

// Each input's element, made in order a frame at a time, so a folder of
// thousands of files doesn't block the page.
let viewsMade = 0;
let viewsAsked = false;

function askViews() {
  if (viewsAsked || viewsMade === jobs.length) return;
  viewsAsked = true;
  nextFrame(() => {
    viewsAsked = false;
    const start = performance.now();
    while (viewsMade < jobs.length && performance.now() - start < 8) makeView(jobs[viewsMade]);
    askViews();
    update();
  });
}

// The inputs' elements go in shelves of kShelfSize, which the browser
// skips while off screen, so that thousands of them cost little to lay out.
const kShelfSize = 100;

function shelf() {
  const all = $('#jobs');
  let last = all.lastElementChild;
  if (last === null || last.childElementCount >= kShelfSize) {
    last = element('div', {class: 'shelf'});
    all.append(last);
  }
  return last;
}

function makeView(job) {
  while (viewsMade <= job.id) {
    const next = jobs[viewsMade++];
    const {file, name} = next;
    next.progress = element('progress', {max: String(file.size || 1), value: '0'});
    next.status = element('span', {class: 'status'}, 'Waiting…');
    next.cancel = element('button', {type: 'button', class: 'cancel'}, 'Cancel');
    next.cancel.addEventListener('click', () => cancelJob(next));
    next.message = element('p', {class: 'message', role: 'status'});
    next.message.hidden = true;
    next.gallery = element('div', {class: 'gallery'});
    next.view = element('section', {class: 'job', 'data-input': name},
        element('h2', {}, name, ' ', element('span', {class: 'size'}, bytes(file.size))),
        element('div', {class: 'bar'}, next.progress, next.cancel),
        next.status, next.message, next.gallery);
    shelf().append(next.view);
    if (next.result !== null) showFinished(next);
  }
}

// The counts, progress bars and speed, at most every kStatusEvery ms.
let updateTimer = 0;
let updated = 0;
const stale = new Set();

// Shows `job`'s progress anew, if given, and the counts, soon.
function showLater(job) {
  if (job) stale.add(job);
  if (updateTimer) return;
  updateTimer = setTimeout(update, Math.max(0, updated + kStatusEvery - performance.now()));
}

function update() {
  clearTimeout(updateTimer);
  updateTimer = 0;
  updated = performance.now();
  for (const job of stale) if (job.view) showProgress(job);
  stale.clear();
  const images = imageCount;
  const left = jobs.length - finishedCount;
  const summary = $('#summary');
  summary.textContent = `${plural(images, 'image')} from ` +
      `${plural(jobs.length, 'file')}` + (left ? `, ${left} to go` : '') +
      (passedOver ? ` (passed over ${plural(passedOver, 'earlier output')})` : '');
  const counts = filterCounts();
  $('#undecodable-count').textContent = count.format(counts.undecodable);
  $('#duplicates-count').textContent = count.format(counts.duplicates);
  $('#small-count').textContent = count.format(counts.small);
  const shown = images - counts.hidden;
  Object.assign(summary.dataset, {
    images, shown, inputs: jobs.length, failed: failedCount, memory: peakMemory,
  });
  const zip = $('#zip');
  zip.disabled = shown === 0 || zipping;
  if (!zipping) zip.textContent = `Download ${plural(shown, 'image')} as .zip`;
  $('#report').disabled = images === 0 || jobsBusy() || reporting;
  const save = $('#save');
  save.disabled = shown === 0;
  save.textContent = `Save ${plural(shown, 'image')} to a folder…`;
  if (saver.folder) {
    $('#save-status').textContent = `${count.format(saver.saved)} saved in “${saver.folder.name}”` +
        (saver.failed ? `, ${count.format(saver.failed)} failed` : '') +
        (savesPending() ? ', saving…' : '');
  }
  if (!jobsBusy()) probeNow();
  const done = !jobsBusy() && galleryIdle() && viewsMade === jobs.length && !savesPending();
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

jobHooks.started = (job) => {
  makeView(job);
  showLater(job);
};
jobHooks.progress = showLater;
let imageCount = 0;
let finishedCount = 0;
let failedCount = 0;
let peakMemory = 0;
jobHooks.images = (job, images) => {
  imageCount += images.length;
  showImages(job, images);
  saveLater(images);
  showLater(job);
};
jobHooks.finished = (job) => {
  ++finishedCount;
  if (job.result !== 'ok' && job.result !== 'cancelled') ++failedCount;
  peakMemory = Math.max(peakMemory, job.memory);
  if (job.view) showFinished(job);
  showLater();
};

function showFinished(job) {
  const result = job.result;
  job.cancel.hidden = true;
  const name = job.name;
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
}
galleryHooks.idle = update;
galleryHooks.counts = () => showLater();
saveHooks.progress = () => showLater();
saveHooks.failed = (image, error) => listError('#save-errors', `${image.path}: `, error);

// Adds `error`, after `what`, to the list of errors at `selector`.
function listError(selector, what, error) {
  const errors = $(selector);
  errors.hidden = false;
  errors.append(element('li', {}, what + (error && error.message || error)));
}

// The images shown, in one zip, under their paths, read from their inputs
// again. An input that can't be read as it was carved makes no zip.
let zipping = false;

async function downloadZip() {
  zipping = true;
  update();
  const shown = jobs.flatMap((job) => job.images.filter((image) => !isHidden(image)));
  const link = $('#zip-link');
  if (link.href) URL.revokeObjectURL(link.href);
  link.removeAttribute('href');
  link.hidden = true;
  const button = $('#zip');
  try {
    const zip = await zipImages(shown, (done) => {
      button.textContent = `Making the zip… ${Math.floor(100 * done / shown.length)} %`;
    });
    link.href = URL.createObjectURL(zip);
    link.download = 'pngcarve-images.zip';
    link.textContent = `Save the zip of ${plural(shown.length, 'image')} again`;
    link.hidden = false;
    link.click();
  } catch (error) {
    listError('#save-errors', 'The zip could not be made: ', error);
  }
  zipping = false;
  update();
}

// Every image carved, whatever the filters hide, in one CSV, once no input
// is left to carve.
let reporting = false;

async function downloadReport() {
  reporting = true;
  update();
  const all = jobs.flatMap((job) => job.images);
  const link = $('#report-link');
  if (link.href) URL.revokeObjectURL(link.href);
  link.removeAttribute('href');
  link.hidden = true;
  const button = $('#report');
  try {
    const csv = await reportCsv(all, (done) => {
      button.textContent = `Making the report… ${Math.floor(100 * done / all.length)} %`;
    });
    link.href = URL.createObjectURL(csv);
    link.download = 'pngcarve-report.csv';
    link.textContent = `Save the report of ${plural(all.length, 'image')} again`;
    link.hidden = false;
    link.click();
  } catch (error) {
    listError('#save-errors', 'The report could not be made: ', error);
  }
  button.textContent = 'Download report';
  reporting = false;
  update();
}

async function saveToFolder() {
  let folder;
  try {
    folder = await window.showDirectoryPicker({mode: 'readwrite'});
  } catch (error) {
    if (error.name === 'AbortError') return;  // no folder picked
    saveHooks.failed({path: 'the folder'}, error);
    return;
  }
  $('#save-errors').replaceChildren();
  $('#save-errors').hidden = true;
  saveTo(folder);
  update();
}

const picker = $('#files');
picker.addEventListener('change', () => {
  addFiles([...picker.files].map((file) => ({file, name: file.name})));
  picker.value = '';
});
const folderPicker = $('#folder');
folderPicker.addEventListener('change', () => {
  addFiles([...folderPicker.files].map((file) => ({file, name: file.webkitRelativePath || file.name})), true);
  folderPicker.value = '';
});
$('#zip').addEventListener('click', downloadZip);
$('#report').addEventListener('click', downloadReport);
// Offline after one visit (sw.js); the page as one file needs no server,
// and can have no service worker.
if ('serviceWorker' in navigator && /^https?:$/.test(location.protocol) &&
    document.getElementById('worker.js') === null) {
  navigator.serviceWorker.register('sw.js').catch(() => {});
}
$('#save').hidden = typeof window.showDirectoryPicker !== 'function';
$('#save').addEventListener('click', saveToFolder);
const smallSizeBox = $('input[data-filter-size]');
smallSizeBox.value = '8';
smallSizeBox.addEventListener('change', () => {
  const px = Math.floor(Number(smallSizeBox.value));
  if (px >= 1) setSmallSize(px);
  else smallSizeBox.value = '8';
  update();
});
for (const box of document.querySelectorAll('input[data-filter]')) {
  box.checked = false;
  box.addEventListener('change', () => {
    setFilter(box.dataset.filter, box.checked);
    update();
  });
}

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
  const transfer = event.dataTransfer;
  if (!transfer) return;
  // The entries must be taken while the event lasts; their files after.
  const entries = [...transfer.items].map((item) => item.webkitGetAsEntry && item.webkitGetAsEntry());
  if (!entries.length || entries.some((entry) => !entry)) {
    addFiles([...transfer.files].map((file) => ({file, name: file.name})));
    return;
  }
  dropped(entries);
});

// Dropped files go in as they are; each dropped folder is read through,
// subfolders and all, and goes in as a folder does from its picker.
async function dropped(entries) {
  for (const entry of entries) {
    try {
      if (entry.isDirectory) addFiles(await folderFiles(entry), true);
      else addFiles([{file: await entryFile(entry), name: entry.name}]);
    } catch (error) {
      unreadable(entry.fullPath.slice(1), error);
    }
  }
}

async function folderFiles(folder) {
  const inputs = [];
  const pending = [folder];
  while (pending.length) {
    const reader = pending.pop().createReader();
    // A reader gives a folder's entries a part at a time, until none.
    for (let part; (part = await new Promise((ok, fail) => reader.readEntries(ok, fail))).length;) {
      for (const entry of part) {
        const name = entry.fullPath.slice(1);
        if (entry.isDirectory) pending.push(entry);
        else await entryFile(entry).then((file) => inputs.push({file, name}),
                                         (error) => unreadable(name, error));
      }
    }
  }
  return inputs;
}

function entryFile(entry) {
  return new Promise((ok, fail) => entry.file(ok, fail));
}

function unreadable(name, error) {
  listError('#drop-errors', `${name} could not be read: `, error);
}
