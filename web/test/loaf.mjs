import {carve, launch, serve} from './browsers.mjs';
const server = await serve(process.argv[2]);
const browser = await launch('chromium');
const page = await browser.newPage();
await page.goto(server.url);
await page.evaluate(() => {
  window.loaf = [];
  new PerformanceObserver((l) => {
    for (const e of l.getEntries()) if (e.duration > 50) window.loaf.push({
      d: Math.round(e.duration), block: Math.round(e.blockingDuration),
      render: Math.round(e.renderStart ? e.startTime + e.duration - e.renderStart : 0),
      style: Math.round(e.styleAndLayoutStart ? e.startTime + e.duration - e.styleAndLayoutStart : 0),
      scripts: e.scripts.map((s) => `${s.invoker} ${s.sourceFunctionName} ${Math.round(s.duration)}`)});
  }).observe({type: 'long-animation-frame', buffered: true});
});
await carve(page, [process.argv[3]], 600000);
console.log(JSON.stringify(await page.evaluate(() => window.loaf), null, 1));
await browser.close(); await server.close();
