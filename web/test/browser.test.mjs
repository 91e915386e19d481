// End-to-end tests of the web page in headless Chromium and Firefox: the
// built site, served on 127.0.0.1, carves real files given to its file
// input, and what it gives back is compared with the command-line tool's
// outputs for the same files.
//
// Usage: node web/test/browser.test.mjs --site build-web/site --native build
//          [--browsers chromium,firefox] [--screenshots doc]
// --native is a build folder of the command-line tool holding pngcarve and
// make_inputs. --screenshots saves pictures of the page after carving the
// sample, at desktop and at phone width, into that folder.
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {createHash} from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';
import {parseArgs} from 'node:util';
import zlib from 'node:zlib';

import {unzipSync} from 'fflate';

import {carve, launch, serve} from './browsers.mjs';

const {values: args} = parseArgs({
  options: {
    site: {type: 'string'},
    native: {type: 'string'},
    browsers: {type: 'string', default: 'chromium,firefox'},
    screenshots: {type: 'string'},
  },
});
const site = path.resolve(args.site);
const tool = path.resolve(args.native, 'pngcarve');
const makeInputs = path.resolve(args.native, 'make_inputs');
const sample = new URL('../../sample/game.pak', import.meta.url).pathname;

// The worker's memory while it carves 1 GiB: the WebAssembly memory, the
// reads it has asked for ahead, and the image it holds. It must not grow
// with the input.
const kMemoryBound = 48 << 20;

const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

function chunk(type, data) {
  const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const head = Buffer.alloc(4);
  head.writeUInt32BE(data.length);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(zlib.crc32(body));
  return Buffer.concat([head, body, crc]);
}

// A real PNG file of `width` × `height` RGB pixels from `seed`, its image
// data split over two IDAT chunks.
function png(width, height, seed) {
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr.set([8, 2, 0, 0, 0], 8);
  const rows = Buffer.alloc((width * 3 + 1) * height);
  let x = seed;
  for (let i = 0; i < rows.length; ++i) {
    x = (x * 1103515245 + 12345) >>> 0;
    rows[i] = i % (width * 3 + 1) === 0 ? 0 : x >>> 24;
  }
  const data = zlib.deflateSync(rows);
  const half = data.length >> 1;
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', ihdr), chunk('tEXt', Buffer.from('Comment\0test')),
    chunk('IDAT', data.subarray(0, half)), chunk('IDAT', data.subarray(half)),
    chunk('IEND', Buffer.alloc(0)),
  ]);
}

function noise(n, seed) {
  const bytes = Buffer.alloc(n);
  let x = seed;
  for (let i = 0; i < n; ++i) {
    x = (x * 69069 + 1) >>> 0;
    bytes[i] = x >>> 24;
  }
  return Buffer.from(bytes.toString('latin1').replaceAll('IHDR', 'iHDR'),
                     'latin1');
}

// The command-line tool's outputs for `files`, carved in a folder of their
// own: a map from output name to SHA-256.
function nativeOutputs(dir, files) {
  fs.mkdirSync(dir);
  for (const file of files) fs.copyFileSync(file, path.join(dir, path.basename(file)));
  execFileSync(tool, files.map((f) => path.basename(f)), {cwd: dir});
  const outputs = new Map();
  for (const name of fs.readdirSync(dir).sort())
    if (name.endsWith('.png'))
      outputs.set(name, sha256(fs.readFileSync(path.join(dir, name))));
  return outputs;
}

// What the page shows for each image: its name, whether the browser could
// decode it, and the SHA-256 of the bytes behind its download link.
async function images(page, input) {
  const selector = `.job[data-input="${input}"] [data-name]`;
  // The page has tried to decode every image before the test looks.
  await page.waitForFunction(
      (selector) => [...document.querySelectorAll(selector)]
                        .every((item) => item.dataset.decodable),
      {polling: 20}, selector);
  return page.evaluate(async (selector) => {
    const hex = (buffer) => [...new Uint8Array(buffer)]
        .map((b) => b.toString(16).padStart(2, '0')).join('');
    const items = [...document.querySelectorAll(selector)];
    return Promise.all(items.map(async (item) => {
      const link = item.querySelector('a[download]');
      const bytes = await (await fetch(link.href)).arrayBuffer();
      return {
        name: item.dataset.name, download: link.download,
        decodable: item.dataset.decodable,
        sha: hex(await crypto.subtle.digest('SHA-256', bytes)),
      };
    }));
  }, selector);
}

function job(page, input) {
  return page.$eval(`.job[data-input="${input}"]`, (view) => ({
    result: view.dataset.result, memory: Number(view.dataset.memory),
    seconds: Number(view.dataset.seconds),
    message: view.querySelector('.message').textContent,
    progress: view.querySelector('progress').value,
    max: view.querySelector('progress').max,
  }));
}

let work;
let server;
const inputs = {};
const expected = {};

before(() => {
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'pngcarve-web-'));
  const dir = path.join(work, 'in');
  fs.mkdirSync(dir);
  const put = (name, bytes) => {
    inputs[name] = path.join(dir, name);
    fs.writeFileSync(inputs[name], bytes);
  };
  fs.copyFileSync(sample, path.join(dir, 'game.pak'));
  inputs['game.pak'] = path.join(dir, 'game.pak');
  // A whole image, one whose signature and IHDR length are damaged, and
  // one cut short by the end of the input before its image data.
  const damaged = png(40, 30, 2);
  damaged.set(Buffer.from('\x89PMG\0\0\0\0\0\0\0\x99', 'latin1'), 0);
  const cut = png(64, 64, 3);
  put('mixed.bin', Buffer.concat([
    noise(3000, 1), png(20, 10, 1), noise(500, 2), damaged, noise(700, 3),
    cut.subarray(0, 40)]));
  // "IHDR" in text: junk that begins an image no browser can decode.
  put('notes.txt', Buffer.from(
      'Notes on the format.\nA PNG file begins with its IHDR chunk, ' +
      'which gives the width and height of the image.\n'.repeat(3)));
  put('empty.txt', Buffer.from('nothing to see here\n'));
  expected.all = nativeOutputs(path.join(work, 'native'), Object.values(inputs));
  assert.equal(expected.all.size, 8);
});

after(() => {
  fs.rmSync(work, {recursive: true, force: true});
});

for (const name of args.browsers.split(',')) {
  describe(name, () => {
    let browser;
    let page;
    const requests = [];

    before(async () => {
      server = await serve(site);
      browser = await launch(name);
      page = await browser.newPage();
      page.on('request', (request) => requests.push(request.url()));
      await page.goto(server.url);
    });

    after(async () => {
      await browser?.close();
      await server?.close();
    });

    test('carves byte for byte what the command-line tool carves', async () => {
      const names = ['game.pak', 'mixed.bin', 'notes.txt', 'empty.txt'];
      await carve(page, names.map((n) => inputs[n]));
      assert.equal(await page.$$eval('input[type=file][multiple]', (e) => e.length), 1);
      const shown = [];
      for (const input of names) shown.push(...await images(page, input));
      assert.deepEqual(new Map(shown.map((i) => [i.name, i.sha])), expected.all);
      for (const image of shown) assert.equal(image.download, image.name);
      // Only the cut image and the junk from the text can't be decoded.
      const undecodable = shown.filter((i) => i.decodable !== 'yes').map((i) => i.name);
      assert.deepEqual(undecodable, ['mixed.bin.0002.png', 'notes.txt.0000.png']);
      assert.match((await job(page, 'empty.txt')).message, /No PNG images found in empty\.txt/);
      assert.equal((await job(page, 'game.pak')).message, '');
    });

    test('the zip holds every image, stored as carved', async () => {
      await page.click('#zip');
      await page.waitForSelector('#zip-link[href^="blob:"]');
      const bytes = Buffer.from(await page.$eval('#zip-link', async (link) => {
        const buffer = await (await fetch(link.href)).arrayBuffer();
        let text = '';
        for (const b of new Uint8Array(buffer)) text += String.fromCharCode(b);
        return btoa(text);
      }), 'base64');
      const files = unzipSync(bytes);
      assert.deepEqual(
          new Map(Object.entries(files).map(([n, b]) => [n, sha256(b)])),
          expected.all);
    });

    test('a read that fails part-way keeps the images before it', async () => {
      const images3 = Buffer.concat([png(8, 8, 4), noise(100, 4), png(9, 7, 5),
                                     png(30, 30, 6)]);
      const file = path.join(work, 'in', `failing-${name}.img`);
      fs.writeFileSync(file, images3);
      fs.truncateSync(file, 4 * 2 ** 30);  // sparse: a long read after them
      const want = nativeOutputs(path.join(work, `failing-${name}`), [file]);
      const input = await page.$('input[type=file]');
      await input.uploadFile(file);
      await page.waitForFunction(
          (n) => document.querySelectorAll(`.job[data-input="${n}"] [data-name]`)
                     .length === 3, {polling: 20}, path.basename(file));
      fs.truncateSync(file, 1 << 20);  // the disk goes away under the reader
      await page.waitForSelector('body[data-state=done]');
      const view = await job(page, path.basename(file));
      assert.equal(view.result, 'read-failed');
      assert.match(view.message, /could not be read past .* The 3 images found before that are kept\./);
      const shown = await images(page, path.basename(file));
      assert.deepEqual(new Map(shown.map((i) => [i.name, i.sha])), want);
    });

    test('a 1 GiB input is carved in bounded worker memory', async () => {
      const big = path.join(work, 'in', 'random.bin');
      if (!fs.existsSync(big))
        execFileSync(makeInputs, ['random', big, '1024', '100']);
      // A new page, so that the worker is a new one too.
      const fresh = await browser.newPage();
      fresh.on('request', (request) => requests.push(request.url()));
      // Chromium also lets the test read the worker's own heap figures.
      let measured = 0;
      fresh.on('workercreated', (worker) => {
        if (name !== 'chromium') return;
        const timer = setInterval(async () => {
          try {
            const heap = await worker.client.send('Runtime.getHeapUsage');
            measured = Math.max(measured,
                                heap.usedSize + (heap.backingStorageSize || 0));
          } catch {
            clearInterval(timer);
          }
        }, 50);
      });
      await fresh.goto(server.url);
      await carve(fresh, [big], 600000);
      const view = await job(fresh, 'random.bin');
      assert.equal(view.result, 'ok');
      assert.equal(view.progress, view.max);
      assert.equal(view.max, 2 ** 30);
      assert.equal(await fresh.$$eval('[data-name]', (e) => e.length), 100);
      assert.ok(view.memory < kMemoryBound, `worker held ${view.memory} bytes`);
      assert.ok(measured < kMemoryBound, `worker heap ${measured} bytes`);
      console.log(`# ${name}: 1 GiB in ${view.seconds} s, ` +
                  `${(2 ** 30 / view.seconds / 1e9).toFixed(2)} GB/s; worker ` +
                  `memory ${(view.memory / 2 ** 20).toFixed(1)} MiB` +
                  (measured ? `, heap ${(measured / 2 ** 20).toFixed(1)} MiB` : ''));
      await fresh.close();
    });

    test('the page asks for nothing outside the site', () => {
      assert.ok(requests.length > 0);
      const outside = requests.filter((url) => !url.startsWith(server.url) &&
          !url.startsWith('blob:') && !url.startsWith('data:'));
      assert.deepEqual(outside, []);
    });

    if (args.screenshots && name === 'chromium') {
      test('screenshots after carving the sample', async () => {
        for (const [file, width] of [['web-page.png', 900], ['web-page-phone.png', 360]]) {
          const shot = await browser.newPage();
          await shot.setViewport({width, height: 800});
          await shot.goto(server.url);
          await carve(shot, [inputs['game.pak']]);
          await images(shot, 'game.pak');
          await shot.screenshot({path: path.join(args.screenshots, file), fullPage: true});
          await shot.close();
        }
      });
    }
  });
}
