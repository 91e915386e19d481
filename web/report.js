// The report: one CSV row for every image carved, as doc/report.md defines
// it, with the SHA-256 of each image's bytes read from its input again: the
// same bytes as pngcarve-report --csv writes for the same inputs.
//
// reportCsv(count, at, progress) resolves to the report as a Blob, of the
// images at(0) to at(count - 1), each {job: {file, name}, name, offset, run,
// ending, size, width, height, check}, in the order carved. It reads the inputs again once, in large reads
// (runs.js), hashing with the browser's own SHA-256 (crypto.subtle), and
// calls progress(done) as it goes. It throws if an input can no longer be
// read as it was carved: a report of some images is no report.
import {readRuns, runOf, runStart, wholeImage} from './runs.js';

const kReportHeader =
    'input,output,offset,run_start,run_length,size,ending,width,height,sha256,check\n';
const kRowsPerPart = 10000;  // rows joined into one string, a part of the Blob
const kHashesAtOnce = 64;

// A field as RFC 4180 has it: quoted only when it must be.
function csvField(text) {
  return /[",\r\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text;
}

function reportRow(image, sha256) {
  const start = runStart(image);
  const size = (n) => (n === null ? '' : String(n));
  return [csvField(image.job.name), csvField(image.name), image.offset, start, image.run,
          image.size, image.ending, size(image.width), size(image.height), sha256,
          image.check].join(',') +
      '\n';
}

const hex = (buffer) => Array.from(new Uint8Array(buffer),
                                   (b) => b.toString(16).padStart(2, '0')).join('');

export async function reportCsv(count, at, progress) {
  const parts = [kReportHeader];
  let rows = [];
  let done = 0;
  for await (const window of readRuns(count, at)) {
    // A window's hashes several at once: the browser computes them off
    // this thread, and one at a time each waits a round trip.
    for (let first = window.first; first <= window.last; first += kHashesAtOnce) {
      const last = Math.min(window.last, first + kHashesAtOnce - 1);
      const images = [];
      for (let i = first; i <= last; ++i) images.push(at(i));
      const digests = await Promise.all(images.map((image) =>
          wholeImage(image, runOf(window, image))
              .then((bytes) => crypto.subtle.digest('SHA-256', bytes))));
      for (let i = first; i <= last; ++i) {
        rows.push(reportRow(images[i - first], hex(digests[i - first])));
        if (rows.length === kRowsPerPart) {
          parts.push(rows.join(''));
          rows = [];
        }
      }
      done = last + 1;
      progress(done);
    }
  }
  parts.push(rows.join(''));
  return new Blob(parts, {type: 'text/csv'});
}
