// The structure check of one image's bytes, as doc/report.md defines it:
// 'ok', or the first fault found of, in this order (kChecks in
// protocol.js),
//   'cut'      the input ended inside the image;
//   'crc'      a chunk's CRC-32 does not match its type and data;
//   'inflate'  its IDAT data, joined, is not one complete zlib stream (its
//              end reached and its Adler-32 right; bytes after it are let
//              be, as PNG decoders let them be);
//   'size'     the stream inflates to a size other than the one the IHDR's
//              width, height, bit depth, colour type and interlace imply,
//              or the IHDR implies none.
// Inflating stops once it has more bytes than the IHDR implies: the image
// is then 'size', whatever follows, so that a small image can't make the
// check inflate gigabytes.
//
// const check = startCheck(ending); check.push(bytes) with the image's
// bytes in order, in pieces of any size; check.end() gives the answer, and
// check.sound() whether all is right but CRCs of ancillary chunks, which
// Chromium and Firefox let be: they show such images (not so one with a
// wrong CRC in IHDR, or in IDAT for Chromium). checkImage(bytes, ending)
// gives {check, sound} for an image in one piece. The
// inflate is pako's, zlib's own inflate in JavaScript, so that it fails as
// zlib does.
import {crc32} from './crc.js';
import * as pako from './pako.js';

const kSignature = 8;   // bytes before the first chunk
const kHeader = 8;      // a chunk's length and type
const kCrc = 4;
const kIhdrData = 13;
const kIdat = 0x49444154;
const kAncillaryBit = 0x20;  // in a chunk type's first letter: lower case
const kOut = new Uint8Array(64 << 10);  // inflated bytes, counted and dropped
const stream = new pako.ZStream();
pako.zlibInflateInit(stream);

// Bits a pixel, for each colour type and bit depth PNG allows.
const kChannels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4};
const kDepths = {0: [1, 2, 4, 8, 16], 2: [8, 16], 3: [1, 2, 4, 8], 4: [8, 16], 6: [8, 16]};
// Adam7's passes: first column and row, then the steps between them.
const kPasses = [[0, 0, 8, 8], [4, 0, 8, 8], [0, 4, 4, 8], [2, 0, 4, 4],
                 [0, 2, 2, 4], [1, 0, 2, 2], [0, 1, 1, 2]];
const kMaxSide = 0x7FFFFFFF;

// The bytes an IHDR's image inflates to (a filter byte and the packed
// pixels for each row of each pass), or -1 if it allows no image.
export function rawSize(ihdr) {
  const view = new DataView(ihdr.buffer, ihdr.byteOffset, kIhdrData);
  const [width, height] = [view.getUint32(0), view.getUint32(4)];
  const [depth, type, interlace] = [ihdr[8], ihdr[9], ihdr[12]];
  if (!width || !height || width > kMaxSide || height > kMaxSide || interlace > 1 ||
      !kDepths[type]?.includes(depth))
    return -1;
  const bits = depth * kChannels[type];
  const rows = (columns, count) => (columns && count ? count * (1 + Math.ceil(columns * bits / 8)) : 0);
  if (!interlace) return rows(width, height);
  let size = 0;
  for (const [x, y, dx, dy] of kPasses)
    size += rows(Math.max(0, Math.ceil((width - x) / dx)), Math.max(0, Math.ceil((height - y) / dy)));
  return size;
}

export function startCheck(ending) {
  const cut = ending === 'cut';
  let skip = kSignature;      // bytes to pass over: the signature, or what
                              // a chunk with a wrapping length takes
  const header = new Uint8Array(kHeader);
  const view = new DataView(header.buffer);
  let have = 0;               // bytes of the chunk's header, then of its CRC
  let left = -1;              // its data bytes still to come; -1: in a header
  let crc = 0;
  let crcBad = false;
  let criticalCrcBad = false;  // in a chunk whose type is upper-case first
  let critical = false;
  let idat = false;
  const ihdr = new Uint8Array(kIhdrData);
  let ihdrHave = 0;
  let expected = null;        // from the IHDR, once the first IDAT comes
  let inflated = 0;
  let streamEnded = false;
  let streamFailed = false;
  let tooLong = false;
  if (!cut) pako.zlibInflateReset(stream);

  const inflate = (data) => {
    if (streamEnded || streamFailed || tooLong || data.length === 0) return;
    expected ??= rawSize(ihdr);
    stream.input = data;
    stream.next_in = 0;
    stream.avail_in = data.length;
    do {
      stream.output = kOut;
      stream.next_out = 0;
      stream.avail_out = kOut.length;
      const status = pako.zlibInflate(stream, pako.Z_NO_FLUSH);
      inflated += kOut.length - stream.avail_out;
      if (inflated > Math.max(expected, 0)) tooLong = true;
      if (status === pako.Z_STREAM_END) streamEnded = true;
      else if (status !== pako.Z_OK && status !== pako.Z_BUF_ERROR) streamFailed = true;
      else if (stream.avail_out !== 0) return;  // it wants more input
    } while (!streamEnded && !streamFailed && !tooLong);
  };

  const push = (bytes) => {
    if (cut) return;
    let i = 0;
    while (i < bytes.length) {
      if (skip) {
        const passed = Math.min(skip, bytes.length - i);
        skip -= passed;
        i += passed;
        continue;
      }
      if (left < 0) {  // the chunk's header
        while (have < kHeader && i < bytes.length) header[have++] = bytes[i++];
        if (have < kHeader) return;
        have = 0;
        const length = view.getUint32(0);
        // The walk takes length + 4 bytes, modulo 2^32, after the header;
        // a length that wraps leaves no room for a CRC.
        if (length > 0xFFFFFFFF - kCrc) {
          crcBad = criticalCrcBad = true;
          skip = (length + kCrc) >>> 0;
          continue;
        }
        idat = view.getUint32(4) === kIdat;
        critical = (header[4] & kAncillaryBit) === 0;
        crc = crc32(0, header.subarray(4));
        left = length;
      }
      const take = Math.min(left, bytes.length - i);
      const data = bytes.subarray(i, i + take);
      crc = crc32(crc, data);
      if (ihdrHave < kIhdrData) {  // the first chunk's data: the IHDR's
        const part = data.subarray(0, kIhdrData - ihdrHave);
        ihdr.set(part, ihdrHave);
        ihdrHave += part.length;
      }
      if (idat) inflate(data);
      left -= take;
      i += take;
      if (left > 0) return;
      while (have < kCrc && i < bytes.length) header[have++] = bytes[i++];
      if (have < kCrc) return;
      if (view.getUint32(0) !== crc) {
        crcBad = true;
        criticalCrcBad ||= critical;
      }
      have = 0;
      left = -1;
    }
  };

  // Whether, but for ancillary chunks' CRCs, the image is whole: every
  // chunk complete, and one complete stream that inflates to the size its
  // IHDR implies.
  const sound = () => !cut && left < 0 && !have && !skip && !criticalCrcBad && !tooLong &&
                      streamEnded && inflated === rawSize(ihdr);
  const end = () => {
    if (cut || left >= 0 || have || skip) return 'cut';  // or a chunk unfinished
    if (crcBad) return 'crc';
    if (tooLong) return 'size';
    if (!streamEnded) return 'inflate';
    return inflated === rawSize(ihdr) ? 'ok' : 'size';
  };
  return {push, end, sound};
}

export function checkImage(bytes, ending) {
  const check = startCheck(ending);
  check.push(bytes);
  return {check: check.end(), sound: check.sound()};
}
