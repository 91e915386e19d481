import {serve, launch, carve} from './browsers.mjs';
const s = await serve(process.argv[2]);
const b = await launch('chromium');
const page = await b.newPage();
let prof = null; let client = null;
page.on('workercreated', async (w) => { client = w.client; await client.send('Profiler.enable'); await client.send('Profiler.setSamplingInterval', {interval: 200}); await client.send('Profiler.start'); });
await page.goto(s.url);
await page.evaluate(() => { /* start worker early */ });
await carve(page, [process.argv[3]]);
prof = (await client.send('Profiler.stop')).profile;
const self = new Map(); const byId = new Map(prof.nodes.map(n => [n.id, n]));
const dt = prof.timeDeltas; const counts = new Map();
for (let i = 0; i < prof.samples.length; ++i) { const n = byId.get(prof.samples[i]); const k = n.callFrame.functionName + ' ' + n.callFrame.url.split('/').pop() + ':' + n.callFrame.lineNumber; counts.set(k, (counts.get(k) || 0) + (dt[i] || 0)); }
console.log([...counts].sort((a, b) => b[1] - a[1]).slice(0, 25).map(([k, v]) => (v/1000).toFixed(0) + ' ms ' + k).join('\n'));
console.log(await page.$eval('.job', j => j.dataset.seconds));
await b.close(); await s.close();
