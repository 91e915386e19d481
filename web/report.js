// The report of every image carved, in either of pngcarve-report's two
// formats, byte for byte what it writes for the same inputs under the same
// names: CSV as doc/report.md defines it, and DFXML, the same but for
// `creator`, which names this page. Each image's hashes and the IHDR tags
// inside it are what the carving worker's trace of its bytes found
// (report/trace.h in WebAssembly, as pngcarve-report's own), so the report
// reads no input again.
//
// reportCsv(count, at, trace, progress) and reportDfxml(count, at, trace,
// inputs, progress) resolve to the report as a Blob, of the images at(0)
// to at(count - 1), each {job: {name}, name, offset, run, ending, size,
// width, height, check}, in the order carved, trace(i) giving image i's
// {sha256, md5, hidden}. `inputs` are all the inputs given, in order, each
// {name, result, detail}: DFXML names them all, and those that failed
// with what went wrong. progress(done) is called as it goes.
import {nextFrame} from './dom.js';

const kCsvHeader =
    'input,output,offset,run_start,run_length,size,ending,width,height,sha256,check\n';
const kRowsPerPart = 10000;  // rows joined into one string, a part of the Blob

// A field as RFC 4180 has it: quoted only when it must be.
function csvField(text) {
  return /[",\r\n]/.test(text) ? `"${text.replace(/"/g, '""')}"` : text;
}

function csvRow(image, {sha256}) {
  const size = (n) => (n === null ? '' : String(n));
  return [csvField(image.job.name), csvField(image.name), image.offset, image.offset + 4,
          image.run, image.size, image.ending, size(image.width), size(image.height), sha256,
          image.check].join(',') + '\n';
}

// Text fit for XML, as pngcarve-report makes it: &, <, > and " escaped, CR
// kept as a reference, and what XML 1.0 can't hold (control characters but
// tab, LF and CR, lone surrogates, U+FFFE and U+FFFF) as U+FFFD.
const kXmlEscapes = {'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', '\r': '&#13;'};
const xmlText = (text) => text.toWellFormed()
    .replace(/[\0-\x08\x0B\x0C\x0E-\x1F\uFFFE\uFFFF]/g, '\uFFFD')
    .replace(/[&<>"\r]/g, (c) => kXmlEscapes[c]);
const tag = (name, text) => `<${name}>${text}</${name}>`;

function fileobject(image, {sha256, md5, hidden}) {
  const line = (text) => `    ${text}\n`;
  let xml = '  <fileobject>\n' + line(tag('filename', xmlText(image.name)));
  if (image.ending === 'cut') xml += line('<error>cut: the input ended inside the image</error>');
  xml += line(tag('filesize', image.size)) +
      line(`<byte_runs><byte_run file_offset="16" img_offset="${image.offset + 4}" ` +
           `len="${image.run}"/></byte_runs>`) +
      line(`<hashdigest type="sha256">${sha256}</hashdigest>`) +
      line(`<hashdigest type="md5">${md5}</hashdigest>`) +
      line(tag('pngcarve:input', xmlText(image.job.name))) +
      line(tag('pngcarve:ihdr_offset', image.offset)) +
      line(tag('pngcarve:ending', image.ending));
  if (image.width !== null)
    xml += line(tag('pngcarve:width', image.width)) + line(tag('pngcarve:height', image.height));
  xml += line(tag('pngcarve:check', image.check));
  if (hidden) {
    xml += line(tag('pngcarve:hidden_ihdr_count', hidden.count));
    for (const offset of hidden.offsets) xml += line(tag('pngcarve:hidden_ihdr_offset', offset));
  }
  return xml + '  </fileobject>\n';
}

function dfxmlBegin(inputs) {
  return '<?xml version="1.0" encoding="UTF-8"?>\n' +
      '<dfxml xmlns="http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML"\n' +
      '       xmlns:dc="http://purl.org/dc/elements/1.1/"\n' +
      '       xmlns:pngcarve="urn:pngcarve:report:1"\n' +
      '       version="2.0.0-beta.0">\n' +
      '  <metadata><dc:type>Carve Report</dc:type></metadata>\n' +
      '  <creator>\n' +
      '    <program>pngcarve web page</program>\n' +
      '    <execution_environment>\n' +
      `      ${tag('start_time', new Date().toISOString().replace(/\.\d+Z$/, 'Z'))}\n` +
      '    </execution_environment>\n' +
      '  </creator>\n' +
      '  <source>\n' +
      inputs.map((input) => `    ${tag('image_filename', xmlText(input.name))}\n`).join('') +
      '  </source>\n';
}

// What went wrong with an input, in pngcarve-report's words where it has
// them.
const kFailures = {
  'read-failed': 'could not be read to its end; the images before the error are recorded',
};

function dfxmlEnd(inputs) {
  return inputs.filter((input) => input.result !== 'ok' && input.result !== null)
      .map((input) => `  <pngcarve:failure input="${xmlText(input.name)}">` +
           `${xmlText(kFailures[input.result] ?? input.detail ?? input.result)}</pngcarve:failure>\n`)
      .join('') + '</dfxml>\n';
}

// The images' texts between `head` and `tail`, a part of the Blob every
// kRowsPerPart images, with a frame between parts so that the page answers.
async function report(count, at, trace, progress, head, text, tail, type) {
  const parts = [head];
  for (let first = 0; first < count; first += kRowsPerPart) {
    const rows = [];
    for (let i = first; i < Math.min(count, first + kRowsPerPart); ++i)
      rows.push(text(at(i), trace(i)));
    parts.push(rows.join(''));
    progress(Math.min(count, first + kRowsPerPart));
    await new Promise(nextFrame);
  }
  parts.push(tail);
  return new Blob(parts, {type});
}

export const reportCsv = (count, at, trace, progress) =>
  report(count, at, trace, progress, kCsvHeader, csvRow, '', 'text/csv');

export const reportDfxml = (count, at, trace, inputs, progress) =>
  report(count, at, trace, progress, dfxmlBegin(inputs), fileobject, dfxmlEnd(inputs),
         'application/xml');
