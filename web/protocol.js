// Every message between the page and its workers, the carving worker
// (worker.js, which jobs.js drives) and the probe (probe.js, which
// probes.js drives), and the results of a carve: one definition for all.
//
// The page sends files to carve, in order:  {type: 'carve', id, file, name}
// (name: the input's path as the outputs are to be named after it, such as
// "game/data/atlas.pak"; the file's own name when not given), and gets
// back, for that id:
//   {type: 'begun', id}                 it has begun on the file
//   {type: 'batch', id, read, images}
//       bytes of the file read so far, and the images finished since the
//       last batch, in order, as columns (kBatchColumns, and digests):
//       images.count of them, the k-th entry of each column the k-th
//       image's. No image's
//       bytes leave the worker: each image is the 16 bytes of the PNG
//       signature and IHDR chunk header, the `runs[k]` bytes of the file
//       from offsets[k] + 4 on (offsets[k] is where its IHDR tag stood),
//       and a standard IEND chunk when its flags have kFlagIend (not when
//       the file ended inside it); the page reads them from the file again
//       where it needs them. images.hidden lists [k, count, offsets] for
//       each image with IHDR tags inside it after its own: how many, and
//       where in the file the first thousand lie (what pngcarve-report's
//       record names); images.nested lists [k, name, parent] for each
//       image carved inside another's run (src/nested.h), and
//       images.notCarved [k, count] for each with tags inside it that
//       began no image, too many being carved at once.
//   {type: 'twins', id, twins}
//       once the file is carved, before 'done': each image whose check
//       failed, mended from the file's pieces or its rows before the break
//       salvaged, as pngcarve-report does, when something was kept, in
//       order: {name, offset, kind, png, width, height, crc, digests, csv,
//       dfxml}: the twin's name ("<input>.0042.mended.png"), the carved
//       image's IHDR tag's offset, 'mended' or 'salvaged', the twin's bytes
//       (a PNG of its own),
//       its size, CRC-32 and hashes, and its record as CSV and as DFXML
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
//   'images'  {input, count, numbers, names, offsets, runs, flags, widths,
//             heights, checks, digests, hiddenCounts, listed, hidden,
//             notCarved}: `count` images of the input named `input`, as the
//             catalog keeps them (catalog.js columnsOf; numbers in the
//             input, -1 for a nested image, whose name and parent's are the
//             next two in `names`; checks by their index in kChecks,
//             digests 48 bytes an image, the hidden IHDR tags' offsets
//             `listed[i]` an image one after another)
//   'end'     {failures}: [name, result, detail] of each input that failed
// and gets back {type: 'record', ask, bytes}, or {type: 'record', ask,
// error} when it could not be made.
// {type: 'read', file} times reading a file alone, with nothing copied or
// carved, for the tests and the benchmark, and gets back {type: 'read',
// read, seconds}.
//
// The probe is sent lists of groups, [{file, name, images: [{key, offset,
// run, ending, pixels}]}]: images of each input `file` whose check can't
// vouch for them, each a place in it (runs.js) and pixels its width times
// height (0 if not known), in the order they were found. It answers
// {answers, done}: answers a list of [key, shows], whether the browser
// decodes the image, and done how many of the lists given are answered in
// full with it.
//
// The results of carving one input, by the number the extractor returns
// (ExtractResult in src/png_extract.h, in its order); any other number is
// 'failed'. The page adds 'out-of-memory', 'cancelled' and 'failed' of its
// own.
export const kResults = ['ok', 'read-failed', 'create-failed', 'write-failed'];

export const resultOf = (code) => kResults[code] || 'failed';

// An image's structure check (record/check.h, doc/report.md): 'ok' or its
// first fault, in this order (kCheckNames there); then a salvaged twin's.
export const kChecks = ['ok', 'cut', 'crc', 'inflate', 'size', 'junk', 'salvaged'];

// A batch's columns and their types: where each image's IHDR tag stood,
// the run of the file it holds, its flags, its IHDR's width and height (0
// when it is too short to hold them), the CRC-32 of its bytes, its
// structure check (by its index in kChecks), and its hashes, kDigestBytes
// an image: SHA-256, then MD5.
export const kBatchColumns = {
  offsets: Float64Array, runs: Float64Array, flags: Uint8Array, widths: Uint32Array,
  heights: Uint32Array, crcs: Uint32Array, checks: Uint8Array,
};
export const kDigestBytes = 48;
// An image's flags: it ended at an IEND; its IHDR's width and height are
// known; its structure check finds it sound, whole but for ancillary
// chunks' CRCs, which browsers let be, so that it shows.
export const kFlagIend = 1;
export const kFlagSized = 2;
export const kFlagSound = 4;
