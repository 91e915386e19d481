// The page's logic that needs no browser, in Node: the zip, its Zip64
// records included, read back by unzip and Python's zipfile; the catalog,
// filled from the worker's batches, its copies told by SHA-256, its checks
// and its filters; and the virtual grid's arithmetic.
//
// Usage: node --test web/test/logic.test.mjs   (Node 18 or newer; the zip
// is read back where unzip and python3 are installed)
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {createHash} from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {test} from 'node:test';

// The catalog tells its views of a change at the next frame, which Node
// has none of.
globalThis.requestAnimationFrame ??= (callback) => setTimeout(callback, 0);
globalThis.cancelAnimationFrame ??= clearTimeout;
const catalog = await import('../catalog.js');
const {zipImages} = await import('../zip.js');
const {crc32} = await import('../crc.js');
const {kHead, kIend} = await import('../runs.js');
const {gridWindow} = await import('../virtual.js');
const {kBatchColumns, kChecks, kDigestBytes, kFlagIend, kFlagSized, kFlagSound} =
    await import('../protocol.js');

const has = (tool) => {
  try {
    execFileSync(tool, ['--help'], {stdio: 'ignore'});
    return true;
  } catch (error) {
    return error.code !== 'ENOENT';
  }
};

// Images as the worker leaves them: places in one input, each its IHDR
// tag's offset, a run of the input after the tag, and how it ended.
function imagesIn(file, places) {
  const job = {file, name: 'disk.img'};
  return places.map(({offset, run, ending}, i) => {
    const name = `disk.img.${String(i).padStart(4, '0')}.png`;
    const image = {job, name, path: i === 1 ? `2/${name} é` : name, offset, run, ending};
    image.size = kHead.length + run + (ending === 'iend' ? kIend.length : 0);
    return image;
  });
}

async function bytesOf(image) {
  const start = image.offset + 4;
  const run = new Uint8Array(await image.job.file.slice(start, start + image.run).arrayBuffer());
  return Buffer.concat([kHead, run, image.ending === 'iend' ? kIend : Buffer.alloc(0)]);
}

test('the zip of 70,000 images holds each one as carved, with Zip64 records', async () => {
  // Past 65,535 entries, and one image of over a MiB, which goes in as a
  // slice of its input.
  const input = Buffer.alloc(4 << 20);
  for (let i = 0; i < input.length; ++i) input[i] = (i * 2654435761) >>> 24;
  const places = [{offset: 100, run: (1 << 20) + 5, ending: 'iend'}];
  // An image carved inside another's run comes before the one that held it.
  places.push({offset: (2 << 20) - 200, run: 50, ending: 'iend'},
              {offset: (2 << 20) - 300, run: 250, ending: 'cut'});
  for (let i = 0; i < 70000; ++i) {
    places.push({offset: (2 << 20) + i * 29, run: 3 + i % 20, ending: i % 7 ? 'iend' : 'cut'});
  }
  const file = new Blob([input]);
  const images = imagesIn(file, places);
  const want = new Map();
  for (const image of images) {
    const bytes = await bytesOf(image);
    image.crc = crc32(0, bytes);
    want.set(image.path, createHash('sha256').update(bytes).digest('hex'));
  }
  const zip = await zipImages(images.length, (i) => images[i], () => {});
  // Its count past 16 bits in the Zip64 end record, where the plain one
  // says to look (unzip and Python let a count that wrapped pass).
  const bytes = Buffer.from(await zip.arrayBuffer());
  const end = bytes.length - 22;
  assert.equal(bytes.readUInt32LE(end), 0x06054b50);
  assert.equal(bytes.readUInt16LE(end + 10), 0xFFFF);
  assert.equal(bytes.readUInt32LE(end - 20), 0x07064b50);
  const zip64End = Number(bytes.readBigUInt64LE(end - 12));
  assert.equal(bytes.readUInt32LE(zip64End), 0x06064b50);
  assert.equal(Number(bytes.readBigUInt64LE(zip64End + 32)), images.length);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'pngcarve-zip-'));
  try {
    const where = path.join(dir, 'images.zip');
    fs.writeFileSync(where, bytes);
    if (has('unzip')) execFileSync('unzip', ['-tqq', where]);
    if (has('python3')) {
      const listed = execFileSync('python3', ['-c', `
import hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    assert z.testzip() is None
    for info in z.infolist():
        print(info.filename + '\\t' + hashlib.sha256(z.read(info)).hexdigest())
`, where], {encoding: 'utf8', maxBuffer: 1 << 28});
      const got = new Map(listed.trimEnd().split('\n').map((line) => line.split('\t')));
      assert.deepEqual(got, want);
    }
  } finally {
    fs.rmSync(dir, {recursive: true, force: true});
  }
});

test('the zip says so when an input changed since it was carved', async () => {
  const input = Buffer.alloc(1000, 7);
  const [image] = imagesIn(new Blob([input]), [{offset: 10, run: 50, ending: 'iend'}]);
  image.crc = crc32(0, await bytesOf(image));
  input[40] ^= 1;
  image.job.file = new Blob([input]);
  await assert.rejects(zipImages(1, () => image, () => {}), /disk\.img has changed since it was carved/);
});

test('the catalog: copies by SHA-256, checks, and what each filter hides', async () => {
  // 3,000 images, the first 1,200 of them unlike each other (the table
  // of first copies grows past its first size twice), then each of
  // those again; two of the first share the first bytes of their hashes.
  const kImages = 3000;
  const kFirst = 1200;
  const sha = (k) => createHash('sha256').update(`image ${k}`).digest();
  // Two batches, as the worker sends them (protocol.js). Image 3 was
  // carved inside image 2's run, and image 8 is junk.
  const batchOf = (first, count) => {
    const batch = {count, hidden: [], nested: [], notCarved: [],
                   digests: new Uint8Array(count * kDigestBytes)};
    if (first === 0) batch.nested.push([3, 'disk.img.0002+0000.png', 'disk.img.0002.png']);
    for (const [name, Type] of Object.entries(kBatchColumns)) batch[name] = new Type(count);
    for (let k = 0; k < count; ++k) {
      const i = first + k;
      const digest = sha(i % kFirst);
      if (i % kFirst === 1) digest.set(sha(0).subarray(0, 8));
      batch.digests.set(digest, k * kDigestBytes);
      const side = 4 + i % 10;  // under 8 px for four in ten
      batch.offsets[k] = 100 * i;
      batch.runs[k] = 60;
      batch.widths[k] = batch.heights[k] = side;
      batch.checks[k] = i === 8 ? kChecks.indexOf('junk') : i % 5 ? 0 : kChecks.indexOf('crc');
      batch.flags[k] = kFlagIend | kFlagSized | (i % 5 ? kFlagSound : 0);
    }
    return batch;
  };
  const job = {id: 0, name: 'disk.img'};
  catalog.nameJob(job);
  catalog.addImages(job, batchOf(0, 1000));
  catalog.addImages(job, batchOf(1000, kImages - 1000));
  assert.equal(catalog.imageCount, kImages);
  assert.equal(catalog.imageAt(1234).name, 'disk.img.1233.png');
  assert.deepEqual([catalog.imageAt(3).name, catalog.imageAt(3).parent],
                   ['disk.img.0002+0000.png', 'disk.img.0002.png']);
  assert.equal(catalog.imageAt(4).name, 'disk.img.0003.png');
  assert.equal(catalog.checkOf(10), 'crc');
  assert.equal(catalog.checkOf(11), 'ok');
  // Those the check finds sound decode; the rest wait for the probe.
  assert.equal(catalog.decodable(11), true);
  assert.equal(catalog.decodable(10), undefined);
  assert.equal(catalog.checkedCount(), kImages * 4 / 5);
  for (let i = 0; i < kImages; i += 5) catalog.setDecodable(i, i % 10 !== 0);
  assert.equal(catalog.checkedCount(), kImages);
  const counts = catalog.filterCounts();
  // Junk is not hashed: it is no image's copy, nor image 1208 its.
  assert.deepEqual(counts, {undecodable: kImages / 10, duplicates: kImages - kFirst - 1,
                            small: kImages * 4 / 10, junk: 1});
  // Junk is hidden until it is asked for.
  assert.equal(catalog.shownCount(), kImages - 1);
  catalog.setFilters({duplicates: true});
  assert.equal(catalog.shownCount(), kFirst);
  assert.equal(catalog.shownAt(kFirst - 2), kFirst - 1);
  catalog.setFilters({small: true, undecodable: true});
  const shown = [];
  for (let k = 0; k < catalog.shownCount(); ++k) shown.push(catalog.shownAt(k));
  assert.deepEqual(shown, [...[...Array(kFirst).keys()].filter((i) => i % 10 >= 4 && i !== 8), kFirst + 8]);
  catalog.setFilters({smallSize: 5});
  assert.equal(catalog.filterCounts().small, kImages / 10);
  // What the record is made from: an image's columns, its hashes as found.
  assert.deepEqual([...catalog.columnsOf(2, 3).numbers], [2, -1, 3]);
  assert.deepEqual(catalog.columnsOf(2, 3).names, ['disk.img.0002+0000.png', 'disk.img.0002.png']);
  const columns = catalog.columnsOf(kFirst + 7, 2);
  assert.deepEqual(Buffer.from(columns.digests.subarray(0, 32)), sha(7));
  assert.deepEqual([...columns.checks], [0, 0]);
  assert.deepEqual([...columns.flags].map((f) => f & 3), [3, 3]);
});

test('the virtual grid draws a screenful of cells, and reaches the last of a million', () => {
  const box = {cellWidth: 168, cellHeight: 232, width: 1000, height: 800};
  for (const count of [0, 7, 1000, 1000000]) {
    const top = gridWindow({...box, count, scrollTop: 0});
    assert.equal(top.from, 0);
    assert.equal(top.to, Math.min(count, (top.seen + 2) * top.columns));
    // Scrolled to the end (past the height browsers allow, by proportion),
    // and half way: few cells drawn, those on screen among them.
    const end = gridWindow({...box, count, scrollTop: Math.max(0, top.spacer - box.height)});
    assert.equal(end.to, count, `${count} cells`);
    assert.ok(end.spacer <= 8e6);
    const half = gridWindow({...box, count, scrollTop: (top.spacer - box.height) / 2});
    for (const window of [top, end, half]) assert.ok(window.to - window.from <= (window.seen + 4) * window.columns);
    if (count === 1000000) assert.ok(Math.abs(half.from / count - 0.5) < 0.01, `${half.from}`);
  }
  // One column when cells have no width, a list's rows.
  const list = gridWindow({count: 50, cellWidth: 0, cellHeight: 136, width: 700, height: 400, scrollTop: 136 * 10});
  assert.deepEqual([list.columns, list.from, list.to, list.top], [1, 8, 15, 8 * 136]);
});
