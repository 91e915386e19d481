// The messages between the page (jobs.js) and the carving worker
// (worker.js), and the results of a carve: one definition for both.
//
// The page sends files to carve, in order:  {type: 'carve', id, file, name}
// (name: the input's path as the outputs are to be named after it, such as
// "game/data/atlas.pak"; the file's own name when not given), and gets
// back, for that id:
//   {type: 'begun', id}                 it has begun on the file
//   {type: 'batch', id, read, images, digests}
//       bytes of the file read so far, and the images finished since the
//       last batch, in order, each {name, offset, run, ending, size, crc,
//       width, height, hidden, check, sound}: offset is where in the file its
//       IHDR tag stood;
//       the image is the 16 bytes of the PNG signature and IHDR chunk
//       header, the `run` bytes of the file from offset + 4 on, and a
//       standard IEND chunk when ending is 'iend' (not when it is 'cut',
//       by the end of the file); size is its length, crc its CRC-32, and
//       width and height are from its IHDR (null when it is too short to
//       hold them; plain numbers, as a typed array an image would cost the
//       page an object each); hidden null, or {count, offsets} of the IHDR tags
//       inside it after its own, with the offsets in the file of the first
//       thousand (what pngcarve-report's record names); check its
//       structure check (kChecks), pngcarve-report's own, and sound whether
//       it is whole but for ancillary chunks' CRCs, which browsers let be,
//       so that it shows; digests, a
//       Uint8Array, holds each image's SHA-256 then its MD5, 48 bytes an
//       image, in the images' order. No image's bytes
//       leave the worker: the page
//       reads them from the file again where it needs them.
//   {type: 'done', id, result, read, seconds, memory}
//       result: 'ok', 'read-failed', 'create-failed' or 'write-failed';
//       memory: the most bytes the worker held at once
//   {type: 'error', id, message, outOfMemory, memory}
//       the carve broke off; this worker is done for and must be replaced
// {type: 'skip', id} takes back a file sent but not yet begun.
// {type: 'record', ask, dfxml, part, ...} asks for a piece of the page's
// record (its report), pngcarve-report's text made by the core, after
// whatever the worker was given before; dfxml 1 for DFXML, 0 for CSV, and
// part one of
//   'begin'   {inputs}: the names of every input given, in order
//   'images'  {input, first, count, offsets, runs, flags, widths, heights,
//             checks, digests, hiddenCounts, listed, hidden}: `count`
//             images of the input named `input`, its images `first` on, as
//             the catalog keeps them (catalog.js columnsOf; checks by
//             their index in kChecks, digests 48 bytes an image, the hidden
//             IHDR tags' offsets `listed[i]` an image one after another)
//   'end'     {failures}: [name, result, detail] of each input that failed
// and gets back {type: 'record', ask, bytes}, or {type: 'record', ask,
// error} when it could not be made.
//
// The results of carving one input, by the number the extractor returns
// (ExtractResult in src/png_extract.h, in its order); any other number is
// 'failed'. The page adds 'out-of-memory', 'cancelled' and 'failed' of its
// own.
export const kResults = ['ok', 'read-failed', 'create-failed', 'write-failed'];

export const resultOf = (code) => kResults[code] || 'failed';

// An image's structure check (report/check.h, doc/report.md): 'ok' or its
// first fault, in this order (kCheckNames there).
export const kChecks = ['ok', 'cut', 'crc', 'inflate', 'size'];
