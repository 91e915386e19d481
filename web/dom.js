// What the page's views share: making elements, writing counts, and
// waiting for the next frame.
//
// element(tag, attributes, ...children) makes an element; count formats a
// number as the page shows counts ("12,345"), plural(n, word) a count of
// things ("1 image", "2 images") and bytes(n) a size ("7.17 KiB"). nextFrame(callback) calls
// back at the next animation frame, or after kFrameLate ms if no frame
// comes by then: a hidden page (a background tab) gets no frames, and its
// work must still get done.

const kFrameLate = 200;

export const count = new Intl.NumberFormat('en');

export function element(tag, attributes = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes)) {
    if (k === 'class') e.className = v; else e.setAttribute(k, v);
  }
  e.append(...children);
  return e;
}

export function nextFrame(callback) {
  const timer = setTimeout(() => {
    cancelAnimationFrame(asked);
    callback();
  }, kFrameLate);
  const asked = requestAnimationFrame(() => {
    clearTimeout(timer);
    callback();
  });
}

export function plural(n, word) {
  return `${count.format(n)} ${word}${n === 1 ? '' : 's'}`;
}

export function bytes(n) {
  if (n < 1024) return `${n} B`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let i = -1;
  do { n /= 1024; ++i; } while (n >= 1024 && i < units.length - 1);
  return `${n.toFixed(n < 10 ? 2 : 1)} ${units[i]}`;
}
