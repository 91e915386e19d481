// Serving the built site on 127.0.0.1 and driving Debian's headless
// Chromium and Firefox with puppeteer-core, for the browser test and the
// benchmark.
import {createReadStream, statSync} from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const kTypes = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
  '.svg': 'image/svg+xml',
  '.webmanifest': 'application/manifest+json',
};

// Serves `site` as a plain static server does; every path asked for goes
// into `requests`. Resolves to {url, requests, close()}.
export function serve(site) {
  const requests = [];
  const server = http.createServer((req, res) => {
    const url = new URL(req.url, 'http://localhost');
    requests.push(url.pathname);
    const file = path.join(site, url.pathname === '/' ? 'index.html' :
                                      decodeURIComponent(url.pathname));
    let ok = file.startsWith(site + path.sep);
    try {
      ok = ok && statSync(file).isFile();
    } catch {
      ok = false;
    }
    if (!ok) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, {
      'Content-Type': kTypes[path.extname(file)] || 'application/octet-stream',
    });
    createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve({
      url: `http://127.0.0.1:${server.address().port}/`,
      requests,
      close: () => new Promise((done) => {
        server.close(done);
        server.closeAllConnections();
      }),
    }));
  });
}

// The page's files picker, as the test contract names it.
export const kFilesPicker = 'input[type=file][multiple]:not([webkitdirectory])';

export const kBrowsers = {
  chromium: {
    browser: 'chrome',
    executablePath: '/usr/bin/chromium',
    // No sandbox, as root; and none of Chromium's own calls to the network.
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--disable-dev-shm-usage'],
  },
  firefox: {
    browser: 'firefox',
    executablePath: '/usr/bin/firefox-esr',
  },
};

// A browser's first start makes its profile, which on a busy machine can
// take Firefox longer than puppeteer's 30 s (seen in CI, beside qemu).
export function launch(name) {
  return puppeteer.launch({
    ...kBrowsers[name], headless: true, protocolTimeout: 600000, timeout: 180000,
  });
}

// A new page of `browser`, whose loads may take 180 s too: a fresh page's
// first load took Firefox past puppeteer's 30 s beside a busy test suite.
export async function openPage(browser) {
  const page = await browser.newPage();
  page.setDefaultNavigationTimeout(180000);
  return page;
}

// Gives `files` to the page's file input, all at once, and waits until the
// page says it has finished them all.
// (The inputs are counted by the summary: the list of inputs has elements
// only for those on screen.)
export async function carve(page, files, timeout = 300000) {
  const inputs = () => Number(document.querySelector('[data-summary]').dataset.inputs || 0);
  const before = await page.evaluate(inputs);
  const input = await page.$(kFilesPicker);
  await input.uploadFile(...files);
  await until(page, (n) => Number(document.querySelector('[data-summary]').dataset.inputs || 0) === n &&
                               document.body.dataset.state === 'done',
              before + files.length, {timeout});
}

// Waits until `predicate(arg)`, run in the page, is true, asking every
// `polling` ms. (Not page.waitForFunction: it builds its function with
// Function(), which Firefox 140 refuses under the page's CSP.) The
// timeouts, here and in carve(), are minutes: they end the wait for a page
// that never gets there, and time nothing.
export async function until(page, predicate, arg, {timeout = 300000, polling = 20} = {}) {
  const end = Date.now() + timeout;
  while (!await page.evaluate(predicate, arg)) {
    if (Date.now() > end) throw new Error(`waited ${timeout} ms for ${predicate}`);
    await new Promise((resolve) => setTimeout(resolve, polling));
  }
}

// Waits until every image the page has found has its checks (the
// summary's data-checked), polling every `polling` ms.
export function untilChecked(page, timeout, polling) {
  return until(page, () => {
    const {checked, images} = document.querySelector('[data-summary]').dataset;
    return checked === images;
  }, null, {timeout, polling});
}

// Times reading `file` alone in a worker of the page's own, with the
// worker's reader and nothing copied or carved: the floor for carving it.
// Resolves to the seconds.
export async function readAlone(page, file) {
  const input = await page.evaluateHandle(() => {
    const e = document.createElement('input');
    e.type = 'file';
    e.hidden = true;
    e.dataset.floor = '';
    document.body.append(e);
    return e;
  });
  await input.uploadFile(file);
  const seconds = await page.evaluate((e) => new Promise((resolve) => {
    const worker = new Worker('worker.js', {type: 'module'});
    worker.onmessage = (event) => {
      worker.terminate();
      resolve(event.data.seconds);
    };
    worker.postMessage({type: 'read', file: e.files[0]});
  }), input);
  await input.evaluate((e) => e.remove());
  return seconds;
}

// Watches how long `page`'s main thread is kept from running a timer,
// from inside the page, and how long a trivial script sent from here
// every 200 ms takes to come back, until stop() is called. stop()
// resolves to {stall, answer}: the longest of each, in ms. The stall
// is the page's own figure; the answer adds the driver's round trip,
// which a busy machine can stretch on its own.
export async function probeAnswers(page) {
  await page.evaluate(() => {
    const probe = {stall: 0, stopped: false};
    let last = performance.now();
    const tick = () => {
      const now = performance.now();
      probe.stall = Math.max(probe.stall, now - last - 10);
      last = now;
      if (!probe.stopped) setTimeout(tick, 10);
    };
    setTimeout(tick, 10);
    window.stallProbe = probe;
  });
  let answer = 0;
  let stopped = false;
  const running = (async () => {
    while (!stopped) {
      const start = performance.now();
      await page.evaluate('1');
      answer = Math.max(answer, performance.now() - start);
      await new Promise((r) => setTimeout(r, 200));
    }
  })();
  return async () => {
    stopped = true;
    await running;
    const stall = await page.evaluate(() => {
      window.stallProbe.stopped = true;
      return window.stallProbe.stall;
    });
    return {stall, answer};
  };
}
