// What the page's views share: making elements, writing counts, and
// waiting for the next frame.
//
// element(tag, attributes, ...children) makes an element; count formats a
// number as the page shows counts ("12,345"). nextFrame(callback) calls
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
