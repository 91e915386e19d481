// The report of every image carved: pngcarve-report's own record, CSV as
// doc/report.md defines it or DFXML, made by the core in the carving
// worker (carve.cc) from what the catalog keeps of each image, so it is
// byte for byte pngcarve-report's for the same inputs under the same
// names, but for DFXML's `creator`, which names this page. It reads no
// input again: the hashes are the carve's, and a twin's record is made
// with it (catalog.js).
//
// makeRecord(dfxml, progress) resolves to it as a Blob, in pieces of
// kImagesPerPiece images (the page never holds the text of them all as one
// string), calling progress(done) after each.
import {columnsOf, twinRecord} from './catalog.js';
import {askCarver, jobs} from './jobs.js';

const kImagesPerPiece = 10000;

export async function makeRecord(dfxml, progress) {
  const piece = (message, transfer) =>
    askCarver({type: 'record', dfxml: dfxml ? 1 : 0, ...message}, transfer);
  const parts = [await piece({part: 'begin', inputs: jobs.map((job) => job.name)})];
  let done = 0;
  for (const job of jobs) {
    // Its carved images, then the twins made of its broken ones.
    const carved = job.imageCount - (job.twinCount ?? 0);
    for (let k = 0; k < carved; k += kImagesPerPiece) {
      const count = Math.min(kImagesPerPiece, carved - k);
      const columns = columnsOf(job.firstImage + k, count);
      parts.push(await piece({part: 'images', input: job.name, count, ...columns},
                             Object.values(columns).filter(ArrayBuffer.isView)
                                 .map((column) => column.buffer)));
      progress(done += count);
    }
    for (let i = job.firstImage + carved; i < job.firstImage + job.imageCount; ++i) {
      parts.push(twinRecord(i, dfxml));
      progress(++done);
    }
  }
  const failed = jobs.filter((job) => job.result !== 'ok' && job.result !== null);
  parts.push(await piece({part: 'end', failures: failed.map((job) => [job.name, job.result, job.detail ?? ''])}));
  return new Blob(parts, {type: dfxml ? 'application/xml' : 'text/csv'});
}
