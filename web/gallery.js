// The galleries: one per input, each image an element that stays cheap
// however many there are.
//
// showImages(job, images) queues images for their gallery; their
// elements are made a frame at a time, within kFrameBudget ms, so the page
// answers input while tens of thousands arrive. Each image is an
// <li data-name> holding an <a download> link to its bytes; the elements go
// in pages of kPageSize that the browser skips while off screen
// (content-visibility), and a page gets its thumbnails only when it comes
// near the viewport. A link gets its address there too, or as soon as it
// is pointed at or focused, since each address costs Chromium a fraction
// of a millisecond.
// Each element shows, and carries as data-offset, where in its input the
// image's IHDR tag stood, and carries where it ends as data-run and
// data-ending.
// Whether each image decodes, and whether it has the same bytes as an
// earlier one, is found out by another worker (probe.js), once no file is
// being carved, so that it takes no time from the carving or the page
// meanwhile (a thumbnail shows before that all the same); decoding is
// marked as data-decodable="yes" or "no". The page calls probeNow() when
// the carving worker is idle.
//
// The filters, off to begin with, hide (the hidden attribute) images: those
// that don't decode, the duplicates, and those smaller than a size on every
// side (the spacers game archives and web caches are full of). They are a
// list, kFilters, each with what it matches: a filter more is a row more.
// setFilter(name, on) switches one; setSmallSize(px) sets the size.
// isHidden(image) says whether a filter switched on hides an image;
// filterCounts() gives, by filter name, how many images each would hide,
// and as `hidden` how many those switched on hide together.
//
// galleryIdle() is true when every queued image has its element and shows
// what the filters say; the page calls galleryHooks.idle() each time that
// becomes so, and galleryHooks.counts() when filterCounts() has changed.

import {count, element, nextFrame} from './dom.js';
import {imageUrl, startWorker} from './jobs.js';

const kPageSize = 240;  // a multiple of every likely column count
const kFrameBudget = 12;
export const galleryHooks = {};

let toRender = [];    // [job, image] waiting for an element
let rendered = 0;     // how many of toRender have their element
const toMark = [];    // images whose decodability came back
const toThumb = [];   // items near the viewport still without a thumbnail
let frameAsked = false;
const probe = startWorker('probe.js');
const probed = [];    // images by their probe key
let toProbe = [];     // what the probe is still to be given
let smallSize = 8;  // px: an image under this on every side is small
const kFilters = [
  {name: 'undecodable', matches: (image) => image.decodable === false},
  {name: 'duplicates', matches: (image) => image.duplicate === true},
  {name: 'small', matches: (image) => image.width !== null &&
                                      Math.max(image.width, image.height) < smallSize},
];
// Each image's `matched` has bit i set when kFilters[i] matches it; `on`
// has the bits of those switched on.
let on = 0;
const matchCounts = kFilters.map(() => 0);
let hiddenCount = 0;
const everyImage = [];
let toFilter = [];    // images whose element is to show the filters anew
let filtered = 0;     // how many of toFilter do

export function showImages(job, images) {
  const places = [];
  for (const image of images) {
    image.key = probed.length;
    probed.push(image);
    image.filterSize = smallSize;
    match(image);
    everyImage.push(image);
    const {key, offset, run, ending, crc} = image;
    places.push({key, offset, run, ending, crc});
    toRender.push([job, image]);
  }
  toProbe.push({file: job.file, name: job.name, images: places});
  askFrame();
}

export function probeNow() {
  for (const batch of toProbe) probe.postMessage(batch);
  toProbe = [];
}

probe.onmessage = (event) => {
  for (const [key, ok, duplicate] of event.data) {
    const image = probed[key];
    probed[key] = null;
    learn(image, ok, duplicate);
    if (image.item) toMark.push(image);
  }
  galleryHooks.counts();
  askFrame();
};

// What is known of an image, kept in the filters' counts.
function learn(image, decodable, duplicate) {
  image.decodable = decodable;
  image.duplicate = duplicate;
  match(image);
}

function match(image) {
  const before = rematch(image);
  hiddenCount += ((image.matched & on) !== 0) - ((before & on) !== 0);
}

// Sets image.matched anew, and the filters' counts; returns what it was.
function rematch(image) {
  const before = image.matched || 0;
  let after = 0;
  kFilters.forEach((filter, i) => { after |= filter.matches(image) << i; });
  for (let i = 0; i < kFilters.length; ++i)
    matchCounts[i] += ((after >> i) & 1) - ((before >> i) & 1);
  image.matched = after;
  return before;
}

export function isHidden(image) {
  return (image.matched & on) !== 0;
}

export function filterCounts() {
  const counts = {hidden: hiddenCount};
  kFilters.forEach((filter, i) => { counts[filter.name] = matchCounts[i]; });
  return counts;
}

// Every image's filters anew, and every element to show them.
function refilter() {
  hiddenCount = 0;
  for (const image of everyImage) {
    if (image.filterSize !== smallSize) {
      image.filterSize = smallSize;
      rematch(image);
    }
    hiddenCount += (image.matched & on) !== 0;
  }
  toFilter = everyImage;
  filtered = 0;
  galleryHooks.counts();
  askFrame();
}

export function setFilter(name, switched) {
  const bit = 1 << kFilters.findIndex((filter) => filter.name === name);
  on = switched ? on | bit : on & ~bit;
  refilter();
}

export function setSmallSize(px) {
  smallSize = px;
  refilter();
}

export function galleryIdle() {
  return rendered === toRender.length && filtered === toFilter.length;
}

function askFrame() {
  if (frameAsked) return;
  frameAsked = true;
  nextFrame(frame);
}

function frame() {
  frameAsked = false;
  const start = performance.now();
  while (rendered < toRender.length && performance.now() - start < kFrameBudget) {
    for (const end = Math.min(rendered + 50, toRender.length); rendered < end;) {
      const [job, image] = toRender[rendered];
      toRender[rendered++] = null;
      const page = galleryPage(job);
      const li = item(image);
      page.append(li);
      if (page.near) toThumb.push(li);
    }
  }
  while (toMark.length && performance.now() - start < kFrameBudget)
    for (const image of toMark.splice(0, 200)) mark(image);
  while (filtered < toFilter.length && performance.now() - start < kFrameBudget) {
    for (const end = Math.min(filtered + 500, toFilter.length); filtered < end;) {
      const li = toFilter[filtered++].item;
      if (li) li.hidden = isHidden(li.image);
    }
  }
  while (toThumb.length && performance.now() - start < kFrameBudget)
    for (const li of toThumb.splice(0, 10)) if (!li.thumb) thumb(li);
  if (galleryIdle()) {
    toRender = [];
    rendered = 0;
    toFilter = [];
    filtered = 0;
  }
  if (!galleryIdle() || toMark.length || toThumb.length) askFrame();
  else galleryHooks.idle();
}

function galleryPage(job) {
  const gallery = job.gallery;
  let page = gallery.lastElementChild;
  if (page === null || page.childElementCount >= kPageSize) {
    page = element('ul', {class: 'page'});
    gallery.append(page);
    nearby.observe(page);
  }
  return page;
}

function item(image) {
  const size = image.width === null ? 'no size in IHDR' :
      `${image.width} × ${image.height}`;
  const li = element('li', {class: 'image', 'data-name': image.name,
                            'data-offset': String(image.offset),
                            'data-run': String(image.run), 'data-ending': image.ending},
      element('a', {download: image.name, class: 'name', tabindex: '0'}, image.name),
      element('span', {class: 'meta'},
              `${count.format(image.size)} bytes · ${size}`),
      element('span', {class: 'meta', title: 'where its IHDR tag is in the input'},
              `at ${count.format(image.offset)} (0x${image.offset.toString(16).toUpperCase()})`));
  li.image = image;
  image.item = li;
  if (image.decodable !== undefined) mark(image);
  return li;
}

function link(li) {
  const a = li.querySelector('a');
  if (!a.hasAttribute('href')) a.href = imageUrl(li.image);
}

// A link gets its address before it can be used.
for (const type of ['pointerover', 'focusin', 'pointerdown', 'contextmenu']) {
  document.addEventListener(type, (event) => {
    const li = event.target.closest && event.target.closest('li.image');
    if (li) link(li);
  }, {capture: true, passive: true});
}

function mark(image) {
  const li = image.item;
  li.dataset.decodable = image.decodable ? 'yes' : 'no';
  li.hidden = isHidden(image);
  if (li.thumb && !image.decodable) thumb(li);
}

// Thumbnails for the pages near the viewport.
const nearby = new IntersectionObserver((entries) => {
  for (const entry of entries) {
    entry.target.near = entry.isIntersecting;
    if (!entry.isIntersecting) continue;
    for (const li of entry.target.children) if (!li.thumb) toThumb.push(li);
    askFrame();
  }
}, {rootMargin: '800px 0px'});

function thumb(li) {
  const image = li.image;
  const box = element('div', {class: 'thumb'});
  if (image.decodable === false) {
    box.append(element('span', {class: 'undecodable'}, 'Not decodable'));
  } else {
    const img = element('img', {alt: image.name, src: imageUrl(image), decoding: 'async'});
    img.addEventListener('error', () => {
      if (image.decodable !== undefined) return;
      learn(image, false, image.duplicate);
      mark(image);
      galleryHooks.counts();
    });
    box.append(img);
  }
  if (li.thumb) li.thumb.replaceWith(box); else li.prepend(box);
  li.classList.add('shown');
  link(li);
  li.thumb = box;
}
