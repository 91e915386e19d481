// Times the web page in one headless browser, for bench/run. For each run,
// in a fresh page (so a fresh worker) each time:
//   random SECONDS FLOOR   the worker's time to carve RANDOM, and the time
//                          the same browser takes only to read it
//   dense SECONDS ZIP      the time from giving DENSE to the page until
//                          its state is done, and then from asking for
//                          the zip of its images until it is ready
//   million SECONDS CHECKED ZIP
//                          the same as dense's, for MILLION, and between
//                          them the time from giving it until every
//                          image's checks are known
//   files SECONDS GIVEN    the time from the page being given the files of
//                          the folder FILES (the folder itself in Chromium;
//                          Firefox's driver can't pick a folder, so there
//                          its files) until its state is done, and before
//                          it the time the browser and its driver took to
//                          give them (5 s in Chromium, 12 s in Firefox for
//                          10,000 files), which is no part of the page's
// one line each, in that order.
//
// Usage: node bench/browser.mjs BROWSER SITE RUNS RANDOM DENSE MILLION FILES
import fs from 'node:fs';
import path from 'node:path';

import {
  carve, kFilesPicker, launch, openPage, readAlone, serve, until, untilChecked,
} from '../web/test/browsers.mjs';

const [name, site, runs, random, dense, million, folder] = process.argv.slice(2);
const server = await serve(site);
const browser = await launch(name);

async function fresh() {
  const page = await openPage(browser);
  await page.goto(server.url);
  return page;
}

try {
  for (let run = 0; run < Number(runs); ++run) {
    let page = await fresh();
    const floor = await readAlone(page, random);
    await page.close();
    page = await fresh();
    await carve(page, [random], 600000);
    const seconds = await page.$eval('.job', (job) => job.dataset.seconds);
    console.log(`random ${seconds} ${floor}`);
    await page.close();

    page = await fresh();
    let start = performance.now();
    await carve(page, [dense], 600000);
    const done = (performance.now() - start) / 1000;
    start = performance.now();
    await page.click('button[data-action=zip]');
    await until(page, () => document.querySelector('a[data-zip]').href !== '', null,
                {timeout: 600000, polling: 50});
    console.log(`dense ${done} ${(performance.now() - start) / 1000}`);
    await page.close();

    page = await fresh();
    start = performance.now();
    await carve(page, [million], 1800000);
    const many = (performance.now() - start) / 1000;
    await untilChecked(page, 1800000, 100);
    const checked = (performance.now() - start) / 1000;
    start = performance.now();
    await page.click('button[data-action=zip]');
    await until(page, () => document.querySelector('a[data-zip]').href !== '', null,
                {timeout: 1800000, polling: 100});
    console.log(`million ${many} ${checked} ${(performance.now() - start) / 1000}`);
    await page.close();
    page = await fresh();
    const files = fs.readdirSync(folder, {recursive: true}).map((f) => path.join(folder, f))
        .filter((f) => fs.statSync(f).isFile());
    // The page's own clock: when the files came, and when it was last done.
    await page.evaluate(() => {
      addEventListener('change', () => { self.given = performance.now(); }, true);
      new MutationObserver(() => {
        if (document.body.dataset.state === 'done') self.doneAt = performance.now();
      }).observe(document.body, {attributes: true, attributeFilter: ['data-state']});
      self.start = performance.now();
    });
    if (name === 'chromium') await (await page.$('input[type=file][webkitdirectory]')).uploadFile(folder);
    else await (await page.$(kFilesPicker)).uploadFile(...files);
    await until(page, () => document.querySelector('.job') !== null, null, {timeout: 600000});
    await until(page, () => document.body.dataset.state === 'done', null,
                {timeout: 1800000, polling: 100});
    const [carved, given] = await page.evaluate(
        () => [self.doneAt - self.given, self.given - self.start]);
    console.log(`files ${carved / 1000} ${given / 1000}`);
    await page.close();
  }
} finally {
  await browser.close();
  await server.close();
}
