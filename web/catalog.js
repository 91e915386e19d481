// The catalog: every image carved, where it lies, what is known of it, and
// which images the filters leave shown. The jobs (jobs.js) write to it; the
// gallery, the status line, the zip, a save and the report only read it,
// and are told when it changes.
//
// The images are held in typed arrays, with no object or string an image,
// so a million of them cost some tens of MiB: image i is the i-th found,
// its input's images one after another, as the inputs are carved in order.
// imageAt(i) gives it as an object when one is wanted: {index, job, name,
// parent, path, offset, run, ending, size, crc, width, height, check}, its
// name that of the command-line tool's output, `<input>.0000.png` and so
// on, or for one carved inside another's run `<input>.0003+0000.png`,
// whose parent is `<input>.0003.png`; and its path
// the name under which the zip and a save keep it: the name, or "2/<name>"
// and so on for an input given under a name an earlier one had.
//
// addImages(job, batch) adds a batch of the worker's images, its columns
// as protocol.js has them, with their hashes and structure checks.
// addTwins(job, twins) adds, after a job's images, the twins the worker
// made of its broken ones (protocol.js): each an image of bytes of its
// own, which imageAt gives as `blob` (its run: all but its first 16 bytes,
// its own IEND included), named after the image it comes from
// ("<input>.0042.mended.png"); twinRecord(i, dfxml) is its record. The
// images are in the order they ended, pngcarve-report's record's. An image
// whose SHA-256 an earlier one has is a duplicate; one its check finds
// sound decodes, and whether the rest do is found out by the probe.
// columnsOf(first, count) gives the images from index `first` on as the
// record is made from them (protocol.js): {numbers, names, offsets, runs,
// flags, widths, heights, checks, digests, hiddenCounts, listed, hidden,
// notCarved}, typed arrays of their own but `names`, flags with bit 1 for
// an IEND and 2 for a width and height.
// checkOf(i) gives the check (kChecks in protocol.js). setDecodable(i,
// decodes) records what the probe found; decodable(i) gives it, undefined
// until it is known; checkedCount() is how many images have it.
//
// The filters are a list, kFilters, each with what it matches: a filter
// more is a row more. The filters are the catalog's state, changed only
// through setFilters({name: on, ..., smallSize: px}): it switches those
// named, and sets the size the 'small' filter hides under. isHidden(i) says whether a
// filter switched on hides image i; filterCounts() gives, by filter name,
// how many images each would hide. shownCount() is how many no filter
// hides, and shownAt(k) the index of the k-th of them.
//
// onChange(callback) calls back, at most once a frame, after any change:
// callback({images, checks, filters}), each true when that kind changed.
// changesPending() is true while a change is yet to be told.

import {nextFrame} from './dom.js';
import {kChecks, kDigestBytes, kFlagIend, kFlagSized, kFlagSound} from './protocol.js';

let capacity = 0;
let jobOf = new Uint32Array(0);
let offsets = new Float64Array(0);
let runs = new Float64Array(0);
let crcs = new Uint32Array(0);
let widths = new Uint32Array(0);
let heights = new Uint32Array(0);
let flags = new Uint8Array(0);
let matched = new Uint8Array(0);
let checks = new Uint8Array(0);  // its index in kChecks
let digests = new Uint8Array(0);
let numbers = new Float64Array(0);  // in its input, or -1 for a nested one
const hiddenTags = new Map();  // image -> the IHDR tags inside it, if any
const nestedNames = new Map();  // image -> {name, parent}, if carved inside another
const notCarved = new Map();  // image -> the tags inside it that began no image
const twins = new Map();  // image -> {from, kind, blob, csv, dfxml}, if a twin
// An image's flags: the batch's (protocol.js), of which kFlagSound is
// kFlagDecodes here, since a sound image shows; then what the probe and
// the copies found.
const kFlagDecodes = kFlagSound;
const kFlagUndecodable = 8;
const kFlagDuplicate = 16;

export let imageCount = 0;
const jobList = [];  // by the id of each job that has images
const namesGiven = new Map();  // input name -> how many inputs had it

function grow() {
  // Half as much again, not twice: the pause is shorter, and it comes at
  // another image than the hash table's growth (isDuplicate).
  capacity = Math.max(1024, Math.ceil(capacity * 1.5));
  const more = (array) => {
    const grown = new array.constructor(capacity);
    grown.set(array);
    return grown;
  };
  [jobOf, offsets, runs, crcs, widths, heights, flags, matched, checks, numbers] =
      [jobOf, offsets, runs, crcs, widths, heights, flags, matched, checks, numbers].map(more);
  const grown = new Uint8Array(capacity * kDigestBytes);
  grown.set(digests);
  digests = grown;
}

// Each input's images get a prefix in their paths when an earlier input
// had its name.
export function nameJob(job) {
  const given = (namesGiven.get(job.name) || 0) + 1;
  namesGiven.set(job.name, given);
  job.prefix = given === 1 ? '' : `${given}/`;
}

export function addImages(job, batch) {
  if (job.firstImage === undefined) job.firstImage = imageCount;
  jobList[job.id] = job;
  while (imageCount + batch.count > capacity) grow();
  const from = imageCount;
  offsets.set(batch.offsets, from);
  runs.set(batch.runs, from);
  crcs.set(batch.crcs, from);
  widths.set(batch.widths, from);
  heights.set(batch.heights, from);
  checks.set(batch.checks, from);
  digests.set(batch.digests, from * kDigestBytes);
  for (const [k, count, tagOffsets] of batch.hidden) hiddenTags.set(from + k, {count, offsets: tagOffsets});
  for (const [k, name, parent] of batch.nested) nestedNames.set(from + k, {name, parent});
  for (const [k, count] of batch.notCarved) notCarved.set(from + k, count);
  for (let k = 0; k < batch.count; ++k) {
    const i = imageCount++;
    numbers[i] = nestedNames.has(i) ? -1 : (job.carvedCount = (job.carvedCount ?? 0) + 1) - 1;
    jobOf[i] = job.id;
    // Junk is not hashed: no copy of anything.
    flags[i] = batch.flags[k] & (kFlagIend | kFlagSized | kFlagSound) |
        (checks[i] !== kJunk && isDuplicate(i) ? kFlagDuplicate : 0);
    if (flags[i] & kFlagDecodes) ++checked;
    match(i);
    if (!(matched[i] & on)) shown?.push(i);
  }
  job.imageCount = imageCount - job.firstImage;
  changed('images');
}

export function addTwins(job, list) {
  while (imageCount + list.length > capacity) grow();
  for (const twin of list) {
    const i = imageCount++;
    jobOf[i] = job.id;
    offsets[i] = twin.offset;
    runs[i] = twin.png.length - 16;  // its bytes after the 16 every PNG begins with
    crcs[i] = twin.crc;
    widths[i] = twin.width;
    heights[i] = twin.height;
    checks[i] = kChecks.indexOf(twin.kind === 'mended' ? 'ok' : 'salvaged');
    digests.set(twin.digests, i * kDigestBytes);
    numbers[i] = -1;
    twins.set(i, {name: twin.name, kind: twin.kind, csv: twin.csv, dfxml: twin.dfxml,
                  blob: new Blob([twin.png.subarray(16)])});
    // A PNG whole and sound, whose size is known.
    flags[i] = kFlagIend | kFlagSized | kFlagDecodes | (isDuplicate(i) ? kFlagDuplicate : 0);
    ++checked;
    match(i);
    if (!(matched[i] & on)) shown?.push(i);
  }
  job.imageCount = imageCount - job.firstImage;
  job.twinCount = (job.twinCount || 0) + list.length;
  changed('images');
}

export const twinRecord = (i, dfxml) => (dfxml ? twins.get(i).dfxml : twins.get(i).csv);

export function imageAt(i) {
  const job = jobList[jobOf[i]];
  const twin = twins.get(i);
  const nested = nestedNames.get(i);
  const name = twin?.name ?? nested?.name ?? `${job.name}.${String(numbers[i]).padStart(4, '0')}.png`;
  const iend = (flags[i] & kFlagIend) !== 0;
  const sized = (flags[i] & kFlagSized) !== 0;
  return {
    index: i, job, name, parent: nested?.parent ?? '', path: job.prefix + name,
    offset: offsets[i], run: runs[i],
    ending: iend ? 'iend' : 'cut', size: 16 + runs[i] + (iend && !twin ? 12 : 0),
    crc: crcs[i], width: sized ? widths[i] : null, height: sized ? heights[i] : null,
    check: checkOf(i), blob: twin?.blob,
  };
}

export function columnsOf(first, count) {
  const end = first + count;
  const hiddenCounts = new Float64Array(count);
  const listed = new Int32Array(count);
  const hidden = [];
  const names = [];
  const uncarved = new Float64Array(count);
  for (let i = first; i < end; ++i) {
    const nested = nestedNames.get(i);
    if (nested) names.push(nested.name, nested.parent);
    uncarved[i - first] = notCarved.get(i) ?? 0;
    const tags = hiddenTags.get(i);
    if (tags === undefined) continue;
    hiddenCounts[i - first] = tags.count;
    listed[i - first] = tags.offsets.length;
    hidden.push(...tags.offsets);
  }
  return {
    numbers: numbers.slice(first, end), names, notCarved: uncarved,
    offsets: offsets.slice(first, end), runs: runs.slice(first, end),
    flags: flags.slice(first, end), widths: widths.slice(first, end),
    heights: heights.slice(first, end), checks: checks.slice(first, end),
    digests: digests.slice(first * kDigestBytes, end * kDigestBytes), hiddenCounts, listed,
    hidden: Float64Array.from(hidden),
  };
}

// The first image with each SHA-256, as its index + 1 (0: none), in a
// table of twice as many places at least, found by the hash's first four
// bytes and then the next place but one.
let firsts = new Uint32Array(0);
let firstCount = 0;

const keyOf = (i) => (digests[i * kDigestBytes] << 24 | digests[i * kDigestBytes + 1] << 16 |
                      digests[i * kDigestBytes + 2] << 8 | digests[i * kDigestBytes + 3]) >>> 0;

function sameSha256(a, b) {
  for (let k = 0; k < 32; ++k) if (digests[a * kDigestBytes + k] !== digests[b * kDigestBytes + k]) return false;
  return true;
}

function placeOf(i) {  // where image i's SHA-256 is, or would go, in firsts
  const mask = firsts.length - 1;
  let at = keyOf(i) & mask;
  while (firsts[at] !== 0 && !sameSha256(firsts[at] - 1, i)) at = (at + 1) & mask;
  return at;
}

// Whether an earlier image has image i's SHA-256, and so its bytes; if
// not, it is the first with it.
function isDuplicate(i) {
  if (2 * (firstCount + 1) > firsts.length) {
    // Placed again in the order found, so the hashes are read in order:
    // at half a million images this keeps the page's pause short.
    firsts = new Uint32Array(Math.max(1024, 2 * firsts.length));
    const mask = firsts.length - 1;
    for (let k = 0; k < i; ++k) {
      if (flags[k] & kFlagDuplicate || checks[k] === kJunk) continue;
      let at = keyOf(k) & mask;
      while (firsts[at] !== 0) at = (at + 1) & mask;
      firsts[at] = k + 1;
    }
  }
  const at = placeOf(i);
  if (firsts[at] !== 0) return true;
  firsts[at] = i + 1;
  ++firstCount;
  return false;
}

export function decodable(i) {
  return flags[i] & kFlagDecodes ? true : flags[i] & kFlagUndecodable ? false : undefined;
}

export const checkOf = (i) => kChecks[checks[i]];
let checked = 0;  // images whose decodability is known
export const checkedCount = () => checked;

export function setDecodable(i, decodes) {
  if (decodable(i) === undefined) ++checked;
  flags[i] = flags[i] & ~(kFlagDecodes | kFlagUndecodable) |
      (decodes ? kFlagDecodes : kFlagUndecodable);
  const was = matched[i] & on;
  match(i);
  if (!was !== !(matched[i] & on)) shown = null;
  changed('checks');
}

let smallSize = 8;  // px: an image under this on every side is small
const kJunk = kChecks.indexOf('junk');
const kFilters = [
  {name: 'undecodable', matches: (i) => (flags[i] & kFlagUndecodable) !== 0},
  {name: 'duplicates', matches: (i) => (flags[i] & kFlagDuplicate) !== 0},
  {name: 'small', matches: (i) => (flags[i] & kFlagSized) !== 0 &&
                                  Math.max(widths[i], heights[i]) < smallSize},
  // Begun by an IHDR tag that other data holds by chance (record/check.h).
  {name: 'junk', matches: (i) => checks[i] === kJunk},
];
// Image i's matched[i] has bit f set when kFilters[f] matches it; `on` has
// the bits of those switched on: junk's, until it is asked for.
let on = 1 << kFilters.findIndex((filter) => filter.name === 'junk');
const matchCounts = kFilters.map(() => 0);
let shown = [];  // the indices no filter hides, in order; null to be found anew

function match(i) {
  const before = matched[i];
  let after = 0;
  kFilters.forEach((filter, f) => { after |= filter.matches(i) << f; });
  for (let f = 0; f < kFilters.length; ++f) matchCounts[f] += ((after >> f) & 1) - ((before >> f) & 1);
  matched[i] = after;
}

export function isHidden(i) {
  return (matched[i] & on) !== 0;
}

export function filterCounts() {
  const counts = {};
  kFilters.forEach((filter, f) => { counts[filter.name] = matchCounts[f]; });
  return counts;
}

export function setFilters(changes) {
  for (const [name, value] of Object.entries(changes)) {
    if (name === 'smallSize') {
      smallSize = value;
      for (let i = 0; i < imageCount; ++i) match(i);
    } else {
      const bit = 1 << kFilters.findIndex((filter) => filter.name === name);
      on = value ? on | bit : on & ~bit;
    }
  }
  shown = null;
  changed('filters');
}

function shownList() {
  if (shown === null) {
    shown = [];
    for (let i = 0; i < imageCount; ++i) if (!(matched[i] & on)) shown.push(i);
  }
  return shown;
}

export const shownCount = () => shownList().length;
export const shownAt = (k) => shownList()[k];

const listeners = [];
let pending = null;

export const changesPending = () => pending !== null;

export function onChange(callback) {
  listeners.push(callback);
}

function changed(kind) {
  if (pending === null) {
    pending = {images: false, checks: false, filters: false};
    nextFrame(() => {
      const what = pending;
      pending = null;
      for (const listener of listeners) listener(what);
    });
  }
  pending[kind] = true;
}
