// A virtual grid: a scrolling box that holds elements only for the cells on
// screen and a row or two around them, whatever the number of cells, so a
// million images cost the page as few elements as a dozen.
//
// virtualGrid(box, {cellWidth, cellHeight, make, draw, fit}) fills `box`
// (an element that scrolls, of a fixed height, or with `fit`, of its
// cells' height up to its CSS max-height) and returns {refresh(count),
// scrollTo(index)}. Cells are laid out in as many columns of cellWidth px
// as fit (one when cellWidth is 0), in rows of cellHeight px; make() makes
// a cell's element, which is used again for other cells as the box
// scrolls, and draw(element, index) shows cell `index` in it, and is
// called again whenever it may have changed. refresh(count) sets the
// number of cells and draws those on screen again. gridWindow() is its
// arithmetic, which needs no page.
//
// Browsers cap an element's height (Firefox near 17.9 million px), short
// of a million rows: past kMaxHeight, the scrollbar's range maps onto the
// rows in proportion, so it still reaches every cell.

import {nextFrame} from './dom.js';

const kMaxHeight = 8e6;
const kAround = 2;  // rows drawn beyond the screen's, above and below

export function virtualGrid(box, {cellWidth, cellHeight, make, draw, fit = false}) {
  box.classList.add('virtual');
  const spacer = document.createElement('div');
  spacer.className = 'spacer';
  const cells = document.createElement('ul');
  cells.className = 'cells';
  box.append(spacer, cells);
  let count = 0;
  const drawn = new Map();  // index -> element
  const spare = [];

  const layout = () => gridWindow({
    count, cellWidth, cellHeight, width: box.clientWidth, height: box.clientHeight,
    scrollTop: box.scrollTop,
  });

  let asked = false;
  const show = (all) => {
    asked = false;
    let shape = layout();
    spacer.style.height = `${shape.spacer}px`;
    if (fit) {
      box.style.height = `${shape.spacer}px`;
      shape = layout();
    }
    const {from, to} = shape;
    for (const [index, element] of drawn) {
      if (index < from || index >= to) {
        drawn.delete(index);
        element.remove();
        spare.push(element);
      } else if (all) {
        draw(element, index);  // which leaves a cell that shows the same alone
      }
    }
    for (let index = from; index < to; ++index) {
      if (drawn.has(index)) continue;
      const element = spare.pop() || make();
      draw(element, index);
      drawn.set(index, element);
      cells.append(element);
    }
    // In order, so that the tab order follows the grid.
    const order = [...drawn.keys()].sort((a, b) => a - b);
    order.forEach((index, k) => {
      const element = drawn.get(index);
      if (cells.children[k] !== element) cells.insertBefore(element, cells.children[k] || null);
    });
    cells.style.transform = `translateY(${shape.top}px)`;
    cells.style.gridTemplateColumns = `repeat(${shape.columns}, ${cellWidth ? `${cellWidth}px` : '1fr'})`;
  };
  const ask = () => {
    if (asked) return;
    asked = true;
    nextFrame(() => show(false));
  };
  box.addEventListener('scroll', ask, {passive: true});
  new ResizeObserver(ask).observe(box);

  return {
    refresh(n) {
      count = n;
      show(true);
    },
    scrollTo(index) {
      const {columns, rows, spacer: height, seen} = layout();
      const row = Math.floor(index / columns);
      box.scrollTop = rows * cellHeight <= kMaxHeight ? row * cellHeight :
          row / Math.max(1, rows - seen) * (height - box.clientHeight);
      show(false);
    },
  };
}

// The arithmetic of a grid of `count` cells of cellWidth by cellHeight px
// (one column when cellWidth is 0) in a box of width by height px,
// scrolled to scrollTop: its columns and rows, the rows a screen holds
// (seen), the spacer's height, and the cells to draw, `from` to `to` - 1,
// their first row drawn `top` px down. Past kMaxHeight the scrollbar's
// range maps onto the rows in proportion.
export function gridWindow({count, cellWidth, cellHeight, width, height, scrollTop}) {
  const columns = cellWidth ? Math.max(1, Math.floor(width / cellWidth)) : 1;
  const rows = Math.ceil(count / columns);
  const spacer = Math.min(rows * cellHeight, kMaxHeight);
  const seen = Math.ceil(height / cellHeight);
  // The first row on screen, and where it is drawn (null: at its place).
  let row = Math.floor(scrollTop / cellHeight);
  let at = null;
  if (rows * cellHeight > kMaxHeight) {
    const range = Math.max(1, spacer - height);
    row = Math.round(Math.min(1, scrollTop / range) * Math.max(0, rows - seen));
    at = scrollTop;
  }
  const from = Math.max(0, row - kAround) * columns;
  const to = Math.min(count, (row + seen + kAround) * columns);
  const rowAt = Math.floor(from / columns);
  const top = at === null ? rowAt * cellHeight : at + (rowAt - row) * cellHeight;
  return {columns, rows, seen, spacer, from, to, top};
}
