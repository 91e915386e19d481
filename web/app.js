// The page: takes files and folders from the pickers or a drop, has them
// carved (jobs.js) and the images the carve's check can't vouch for
// decoded (probes.js), and shows each input's progress (inputs.js) and the
// images in one gallery (gallery.js), all of it read from the catalog
// (catalog.js); the images shown go into a zip (zip.js) or straight into a
// folder (save.js), and every image into the report (record.js).
//
// For automated tests: input[type=file][multiple]:not([webkitdirectory])
// is the files picker and input[type=file][webkitdirectory] the folder
// picker; button[data-action=save-folder] saves to a folder, where the
// browser can; button[data-action=zip] makes the zip of the images shown,
// then offers it as a[data-zip][href]; button[data-action=report] makes
// the report of every image carved, then offers it as
// a[data-report][href][download] (CSV), and button[data-action=report-dfxml]
// the same as DFXML, as a[data-report-dfxml][href][download];
// input[data-filter=undecodable],
// input[data-filter=duplicates], input[data-filter=small] (with its size
// in input[data-filter-size]) and input[data-filter=junk] are the
// filters. The
// [data-summary] element carries data-images (images found), data-shown
// (those no filter hides), data-inputs, data-failed (inputs whose carve
// failed), data-memory (the most bytes the worker held at once, over all
// inputs) and data-checked (images known to decode or not).
// <body data-state="done"> once every input given is finished, every save
// has been written and the views show it all; whether the images that
// their structure checks can't vouch for decode may come after. Each image on screen is an element with data-name="<output
// name>" (gallery.js), and each input on screen one with
// data-input="<name>" (inputs.js).
import {
  changesPending, checkedCount, filterCounts, imageAt, imageCount, onChange, setFilters,
  shownAt, shownCount,
} from './catalog.js';
import {bytes, count, element, plural} from './dom.js';
import {showGallery} from './gallery.js';
import {showInputs} from './inputs.js';
import {addInputs, jobHooks, jobs, jobsBusy, startNext} from './jobs.js';
import {carving, probeImages, probeNow} from './probes.js';
import {makeRecord} from './record.js';
import {saveHooks, saveLater, saver, saveTo, savesPending} from './save.js';
import {zipImages} from './zip.js';

const $ = (selector) => document.querySelector(selector);
const kStatusEvery = 250;  // ms between updates of the counts and progress

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
  carving();
  $('#toolbar').hidden = jobs.length === 0;
  $('#views').hidden = jobs.length === 0;
  startNext();
  update();
}

let passedOver = 0;  // earlier outputs in the folders given

// The counts, progress and rows on screen, at most every kStatusEvery ms.
let updateTimer = 0;
let updated = 0;

function showLater() {
  if (updateTimer) return;
  updateTimer = setTimeout(update, Math.max(0, updated + kStatusEvery - performance.now()));
}

function update() {
  clearTimeout(updateTimer);
  updateTimer = 0;
  updated = performance.now();
  showInputs();
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
  $('#junk-count').textContent = count.format(counts.junk);
  const shown = shownCount();
  Object.assign(summary.dataset, {
    images, shown, inputs: jobs.length, failed: failedCount, memory: peakMemory,
    checked: checkedCount(),
  });
  const zip = $('#zip');
  zip.disabled = shown === 0 || zipping;
  if (!zipping) zip.textContent = `Download ${plural(shown, 'image')} as .zip`;
  $('#report').disabled = $('#report-dfxml').disabled = images === 0 || jobsBusy() || reporting;
  const save = $('#save');
  save.disabled = shown === 0;
  save.textContent = `Save ${plural(shown, 'image')} to a folder…`;
  if (saver.folder) {
    $('#save-status').textContent = `${count.format(saver.saved)} saved in “${saver.folder.name}”` +
        (saver.failed ? `, ${count.format(saver.failed)} failed` : '') +
        (savesPending() ? ', saving…' : '');
  }
  if (!jobsBusy()) probeNow();
  const done = !jobsBusy() && !savesPending() && !changesPending();
  document.body.dataset.state = done ? 'done' : 'working';
}

jobHooks.started = showLater;
jobHooks.progress = showLater;
let finishedCount = 0;
let failedCount = 0;
let peakMemory = 0;
jobHooks.images = (job, first, n) => {
  probeImages(job, first, n);
  saveLater(first, n);
  showLater();
};
jobHooks.finished = (job) => {
  ++finishedCount;
  if (job.result !== 'ok' && job.result !== 'cancelled') ++failedCount;
  peakMemory = Math.max(peakMemory, job.memory);
  showLater();
};
showGallery();
onChange(showLater);
saveHooks.progress = () => showLater();
saveHooks.failed = (image, error) => listError('#save-errors', `${image.path}: `, error);

// Adds `error`, after `what`, to the list of errors at `selector`.
function listError(selector, what, error) {
  const errors = $(selector);
  errors.hidden = false;
  errors.append(element('li', {}, what + (error && error.message || error)));
}

// Makes a file with `make(progress)`, then offers it at `link` under
// `name`, and clicks it; `what` names it in the button's progress and the
// error listed if it can't be made. `button` shows the progress, out of
// `count` images, and `label` again after.
async function offer({button, link, name, what, count, label, make}) {
  if (link.href) URL.revokeObjectURL(link.href);
  link.removeAttribute('href');
  link.hidden = true;
  try {
    const file = await make((done) => {
      button.textContent = `Making the ${what}… ${Math.floor(100 * done / count)} %`;
    });
    link.href = URL.createObjectURL(file);
    link.download = name;
    link.textContent = `Save the ${what} of ${plural(count, 'image')} again`;
    link.hidden = false;
    link.click();
  } catch (error) {
    listError('#save-errors', `The ${what} could not be made: `, error);
  }
  if (label) button.textContent = label;
}

// The images shown, in one zip, under their paths, read from their inputs
// again. An input that can't be read as it was carved makes no zip.
let zipping = false;

async function downloadZip() {
  zipping = true;
  update();
  const shown = Array.from({length: shownCount()}, (_, k) => shownAt(k));
  await offer({
    button: $('#zip'), link: $('#zip-link'), name: 'pngcarve-images.zip', what: 'zip',
    count: shown.length,
    make: (progress) => zipImages(shown.length, (k) => imageAt(shown[k]), progress),
  });
  zipping = false;
  update();
}

// Every image carved, whatever the filters hide, in one CSV or DFXML file,
// once no input is left to carve and every image has its structure check,
// which each row names.
let reporting = false;

async function downloadReport(format) {
  const button = $(format === 'csv' ? '#report' : '#report-dfxml');
  reporting = true;
  update();
  await offer({
    button, link: $(format === 'csv' ? '#report-link' : '#report-dfxml-link'),
    name: `pngcarve-report.${format === 'csv' ? 'csv' : 'xml'}`, what: 'report',
    count: imageCount, label: button.textContent,
    make: (progress) => makeRecord(format !== 'csv', progress),
  });
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
$('#report').addEventListener('click', () => downloadReport('csv'));
$('#report-dfxml').addEventListener('click', () => downloadReport('dfxml'));
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
  if (px >= 1) setFilters({smallSize: px});
  else smallSizeBox.value = '8';
  update();
});
for (const box of document.querySelectorAll('input[data-filter]')) {
  box.checked = box.dataset.filter === 'junk';  // as the catalog begins
  box.addEventListener('change', () => {
    setFilters({[box.dataset.filter]: box.checked});
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
