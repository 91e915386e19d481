// The inputs: one row each in a virtual list (virtual.js), so that a
// folder of any number of files costs the page the elements of the rows on
// screen. Each row, [data-input="<name>"], shows the input's name and size,
// its progress, speed and count of images, a Cancel button while it is to
// carve, and what went wrong, if anything; once it is finished it carries
// data-result, data-seconds (the worker's time) and data-memory (the most
// bytes the worker held at once while carving it).
//
// showInputs() draws the rows on screen anew (the list is made the first
// time).

import {bytes, element, plural} from './dom.js';
import {cancelJob, jobs} from './jobs.js';
import {virtualGrid} from './virtual.js';

const kRowHeight = 136;

let list = null;

export function showInputs() {
  list ??= virtualGrid(document.querySelector('#jobs'), {
    cellWidth: 0, cellHeight: kRowHeight, make: makeRow, draw: drawRow, fit: true,
  });
  list.refresh(jobs.length);
}

function makeRow() {
  const name = element('span', {class: 'input-name'});
  const size = element('span', {class: 'size'});
  const progress = element('progress', {max: '1', value: '0'});
  const cancel = element('button', {type: 'button', class: 'cancel'}, 'Cancel');
  const status = element('span', {class: 'status'});
  const message = element('p', {class: 'message', role: 'status'});
  const row = element('li', {class: 'job'}, element('h2', {}, name, ' ', size),
                      element('div', {class: 'bar'}, progress, cancel), status, message);
  cancel.addEventListener('click', () => cancelJob(jobs[row.job]));
  Object.assign(row, {name, size, progress, cancel, status, message});
  return row;
}

function drawRow(row, k) {
  const job = jobs[k];
  row.job = k;
  row.dataset.input = job.name;
  row.name.textContent = job.name;
  row.size.textContent = bytes(job.file.size);
  const size = job.file.size;
  row.progress.max = String(size || 1);
  row.progress.value = size ? job.read : (job.result === null ? 0 : 1);
  row.cancel.hidden = job.result !== null;
  const seconds = job.seconds || (performance.now() - job.started) / 1000;
  // The speed only once there is enough to go by.
  const speed = job.started && seconds >= 0.1 ?
      ` · ${(job.read / seconds / 1e6).toFixed(0)} MB/s` : '';
  let text = job.started ? `${bytes(job.read)} of ${bytes(size)}${speed} · ` +
      plural(job.imageCount, 'image') : 'Waiting…';
  if (job.result === 'ok') text += ` · done in ${job.seconds.toFixed(3)} s`;
  row.status.textContent = text;
  const message = job.result === null ? '' : finished(job);
  row.message.textContent = message;
  row.message.title = message;
  row.message.hidden = message === '';
  if (job.result === null) {
    for (const key of ['result', 'seconds', 'memory']) delete row.dataset[key];
  } else {
    Object.assign(row.dataset, {
      result: job.result, seconds: job.seconds.toFixed(3), memory: String(job.memory),
    });
  }
}

// What a finished input's row says of how it ended, if anything.
function finished(job) {
  const name = job.name;
  const kept = job.imageCount ?
      ` The ${plural(job.imageCount, 'image')} found before that are kept.` : '';
  switch (job.result) {
    case 'ok':
      return job.imageCount === 0 ? `No PNG images found in ${name}.` : '';
    case 'read-failed':
      return `${name} could not be read past ${bytes(job.read)}: was it ` +
          `moved, changed or removed after it was chosen?${kept}`;
    case 'create-failed':
      return `An image of ${name} could not be made.${kept}`;
    case 'write-failed':
      return `An image of ${name} could not be written.${kept}`;
    case 'out-of-memory':
      return `The browser ran out of memory carving ${name}.${kept} ` +
          'Close other tabs, or carve this file on its own.';
    case 'cancelled':
      return `Cancelled after ${bytes(job.read)}.${kept}`;
    default:
      return `Carving ${name} failed${job.detail ? ` (${job.detail})` : ''}.${kept}`;
  }
}
