// Times the web page in one headless browser, for bench/run. For each run,
// in a fresh page (so a fresh worker) each time:
//   random SECONDS FLOOR   the worker's time to carve RANDOM, and the time
//                          the same browser takes only to read it
//   dense SECONDS          the time from giving DENSE to the page until
//                          its state is done
// one line each, in that order.
//
// Usage: node bench/browser.mjs BROWSER SITE RUNS RANDOM DENSE
import {carve, launch, readAlone, serve} from '../web/test/browsers.mjs';

const [name, site, runs, random, dense] = process.argv.slice(2);
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
    const start = performance.now();
    await carve(page, [dense], 600000);
    console.log(`dense ${(performance.now() - start) / 1000}`);
    await page.close();
  }
} finally {
  await browser.close();
  await server.close();
}
