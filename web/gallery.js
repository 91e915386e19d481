// The gallery: the images the filters leave shown, every input's in one
// virtual grid (virtual.js), so the page holds elements only for those on
// screen, whatever the number of images.
//
// Each image on screen is an <li data-name> that shows its thumbnail,
// decoded only there, and holds an <a download> link to its bytes, built
// from its place in its input (runs.js); it shows, and carries as
// data-offset, where in its input the image's IHDR tag stood, and carries
// where it ends as data-run and data-ending, as data-check its structure
// check (the carve's), and as data-decodable "yes" or "no" once that is
// known; a fault found shows beside its sizes.
//
// showGallery() draws it in #gallery, and again at each change of the
// catalog; importing this module draws nothing.

import {checkOf, decodable, imageAt, onChange, shownAt, shownCount} from './catalog.js';
import {count, element} from './dom.js';
import {placeBlob} from './runs.js';
import {virtualGrid} from './virtual.js';

const kCellWidth = 168;
const kCellHeight = 232;

export function showGallery() {
  const grid = virtualGrid(document.querySelector('#gallery'), {
    cellWidth: kCellWidth, cellHeight: kCellHeight, make: makeItem, draw: drawItem,
  });
  onChange(() => grid.refresh(shownCount()));
}

function makeItem() {
  const img = element('img', {decoding: 'async'});
  const box = element('div', {class: 'thumb'}, img);
  const note = element('span', {class: 'undecodable'}, 'Not decodable');
  const link = element('a', {class: 'name'});
  const sizes = element('span', {class: 'meta'});
  const at = element('span', {class: 'meta', title: 'where its IHDR tag is in the input'});
  const fault = element('span', {class: 'fault', title: 'the first fault its structure check found'});
  const li = element('li', {class: 'image'}, box, link, sizes, at);
  img.addEventListener('error', () => {
    img.hidden = true;
    box.append(note);
  });
  Object.assign(li, {img, box, note, link, sizes, at, fault, url: null});
  return li;
}

function drawItem(li, k) {
  const i = shownAt(k);
  if (li.index !== i) {
    const image = imageAt(i);
    if (li.url !== null) URL.revokeObjectURL(li.url);
    li.index = i;
    li.decodes = null;
    li.url = URL.createObjectURL(placeBlob(image.job.file, image));
    Object.assign(li.dataset, {
      name: image.name, offset: String(image.offset), run: String(image.run),
      ending: image.ending,
    });
    li.img.alt = image.name;
    li.img.removeAttribute('src');
    li.link.href = li.url;
    li.link.download = image.name;
    li.link.textContent = image.name;
    li.sizes.textContent = `${count.format(image.size)} bytes · ` +
        (image.width === null ? 'no size in IHDR' : `${image.width} × ${image.height}`);
    li.sizes.append(li.fault);
    li.at.textContent =
        `at ${count.format(image.offset)} (0x${image.offset.toString(16).toUpperCase()})`;
  }
  const check = checkOf(i);
  li.dataset.check = check;
  li.fault.textContent = check === 'ok' ? '' : ` · ${check}`;
  const decodes = decodable(i);
  if (li.decodes === decodes) return;
  li.decodes = decodes;
  if (decodes === undefined) delete li.dataset.decodable;
  else li.dataset.decodable = decodes ? 'yes' : 'no';
  li.note.remove();
  li.img.hidden = decodes === false;
  if (decodes === false) li.box.append(li.note);
  else if (!li.img.hasAttribute('src')) li.img.src = li.url;
}
