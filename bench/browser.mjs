// Times the web page in one headless browser, for bench/run. For each run,
// in a fresh page (so a fresh worker) each time:
//   random SECONDS FLOOR   the worker's time to carve RANDOM, and the time
//                          the same browser takes only to read it
//   dense SECONDS ZIP      the time from giving DENSE to the page until
//                          its state is done, and then from asking for
//                          the zip of its images until it is ready
//   million SECONDS        the same as dense's first, for MILLION
// one line each, in that order.
//
// Usage: node bench/browser.mjs BROWSER SITE RUNS RANDOM DENSE MILLION
import {carve, launch, readAlone, serve, until} from '../web/test/browsers.mjs';

const [name, site, runs, random, dense, million] = process.argv.slice(2);
const server = await serve(site);
const browser = await launch(name);

async function fresh() {
  const page = await browser.newPage();
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
    console.log(`million ${(performance.now() - start) / 1000}`);
    await page.close();
  }
} finally {
  await browser.close();
  await server.close();
}
