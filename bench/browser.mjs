// Carves FILE... with the web page in headless Chromium, and prints the
// seconds the page's worker took for each, one per line. For bench/run.
//
// Usage: node bench/browser.mjs SITE FILE...
import {carve, launch, serve} from '../web/test/browsers.mjs';

const [site, ...files] = process.argv.slice(2);
const server = await serve(site);
const browser = await launch('chromium');
try {
  for (const file of files) {
    const page = await browser.newPage();  // a fresh worker each time
    await page.goto(server.url);
    await carve(page, [file], 600000);
    console.log(await page.$eval('.job', (job) => job.dataset.seconds));
    await page.close();
  }
} finally {
  await browser.close();
  await server.close();
}
