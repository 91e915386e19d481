// The galleries: one per input, each image an element that stays cheap
// however many there are.
//
// showImages(job, images, batch) queues images for their gallery; their
// elements are made a frame at a time, within kFrameBudget ms, so the page
// answers input while tens of thousands arrive. Each image is an
// <li data-name> holding an <a download> link to its bytes; the elements go
// in pages of kPageSize that the browser skips while off screen
// (content-visibility), and a page gets its thumbnails only when it comes
// near the viewport. A link gets its address there too, or as soon as it
// is pointed at or focused, since each address costs Chromium a fraction
// of a millisecond.
// Whether each image decodes is found out by another worker (probe.js),
// once no file is being carved, so that it takes no time from the carving
// or the page meanwhile (a thumbnail shows before that all the same), and
// marked as data-decodable="yes" or "no". The page calls probeNow() when
// the carving worker is idle.
//
// galleryIdle() is true when every queued image has its element; the page
// calls galleryHooks.idle() each time that becomes so.
'use strict';

const kPageSize = 240;  // a multiple of every likely column count
const kFrameBudget = 12;
const galleryHooks = {};
const count = new Intl.NumberFormat('en');

let toRender = [];    // [job, image] waiting for an element
let rendered = 0;     // how many of toRender have their element
const toMark = [];    // images whose decodability came back
const toThumb = [];   // items near the viewport still without a thumbnail
let frameAsked = false;
const probe = new Worker('probe.js');
const probed = [];    // images by their probe key
let toProbe = [];     // what the probe is still to be given

function showImages(job, images, batch) {
  const ranges = [];
  for (const image of images) {
    image.key = probed.length;
    probed.push(image);
    if (image.blob) {
      toProbe.push({blob: image.blob, images: [{key: image.key, start: 0, end: image.size}]});
    } else {
      ranges.push({key: image.key, start: image.start, end: image.end});
    }
    toRender.push([job, image]);
  }
  if (ranges.length) toProbe.push({blob: batch, images: ranges});
  askFrame();
}

function probeNow() {
  for (const batch of toProbe) probe.postMessage(batch);
  toProbe = [];
}

probe.onmessage = (event) => {
  for (const [key, ok] of event.data) {
    const image = probed[key];
    probed[key] = null;
    image.decodable = ok;
    if (image.item) toMark.push(image);
  }
  askFrame();
};

function galleryIdle() {
  return rendered === toRender.length;
}

function askFrame() {
  if (frameAsked) return;
  frameAsked = true;
  requestAnimationFrame(frame);
}

function frame() {
  frameAsked = false;
  const start = performance.now();
  while (!galleryIdle() && performance.now() - start < kFrameBudget) {
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
  while (toThumb.length && performance.now() - start < kFrameBudget)
    for (const li of toThumb.splice(0, 10)) if (!li.thumb) thumb(li);
  if (galleryIdle()) {
    toRender = [];
    rendered = 0;
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
  const li = element('li', {class: 'image', 'data-name': image.name},
      element('a', {download: image.name, class: 'name', tabindex: '0'}, image.name),
      element('span', {class: 'meta'},
              `${count.format(image.size)} bytes · ${size}`));
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
      image.decodable = false;
      mark(image);
    });
    box.append(img);
  }
  if (li.thumb) li.thumb.replaceWith(box); else li.prepend(box);
  li.classList.add('shown');
  link(li);
  li.thumb = box;
}
