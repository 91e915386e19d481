// A zip file of images, stored as they are (no recompression), made as a
// Blob.
//
// zipImages(count, at, progress) resolves to that Blob, of the images at(0)
// to at(count - 1), each {path, size, crc, job, offset, run, ending}: its
// bytes a place in job.file (runs.js), and crc their CRC-32. The inputs are
// read again once, in order, in large reads: images with a run under
// kLarge are copied into the zip's own buffers, many to a part; larger ones
// go in as slices of their file, uncopied. So the zip has a few parts per MiB of small images,
// not several per image: in Chromium a Blob of 100,000 parts takes minutes
// to make and to read back. It yields to the page every kTaskMs, calling
// progress(done), so a zip of 100,000 images never blocks the page. It
// throws if an input can no longer be read as it was carved: a copied
// image whose bytes don't have the CRC-32 of the carve is one that changed.
// Past 65,535 entries or 4 GiB it writes the Zip64 records that zip tools
// expect. Names are UTF-8 (flag bit 11); times are the moment it is made.
import {crc32} from './crc.js';
import {kHead, readRuns, runOf, tailOf} from './runs.js';

const kTaskMs = 20;
const kPart = 8 << 20;
const kMax16 = 0xFFFF;
const kMax32 = 0xFFFFFFFF;
const kUtf8Flag = 0x0800;

function zipHeader(size) {
  const bytes = new Uint8Array(size);
  const view = new DataView(bytes.buffer);
  let at = 0;
  const put = {
    u16(v) { view.setUint16(at, v, true); at += 2; return put; },
    u32(v) { view.setUint32(at, v, true); at += 4; return put; },
    u64(v) { view.setBigUint64(at, BigInt(v), true); at += 8; return put; },
    bytes(b) { bytes.set(b, at); at += b.length; return put; },
  };
  return {bytes, put};
}

function dosTime(date) {
  return {
    time: date.getHours() << 11 | date.getMinutes() << 5 | date.getSeconds() >> 1,
    date: Math.max(0, date.getFullYear() - 1980) << 9 |
        (date.getMonth() + 1) << 5 | date.getDate(),
  };
}

// Bytes put one after another into parts of kPart, as few as they fit in.
function partsOf() {
  const parts = [];
  let part = new Uint8Array(kPart);
  let used = 0;
  return {
    parts,
    add(bytes) {  // bytes of less than kPart
      if (used + bytes.length > kPart) this.flush();
      part.set(bytes, used);
      used += bytes.length;
    },
    // Ends the part, so that a Blob can come after it.
    flush() {
      if (used) parts.push(part.slice(0, used));
      used = 0;
    },
  };
}

export async function zipImages(count, at, progress) {
  const encoder = new TextEncoder();
  const {time, date} = dosTime(new Date());
  const out = partsOf();
  const central = partsOf();
  let centralSize = 0;
  let offset = 0;
  let task = performance.now();
  for await (const window of readRuns(count, at)) {
    for (let i = window.first; i <= window.last; ++i) {
      if (performance.now() - task >= kTaskMs) {
        progress(i);
        await new Promise((r) => setTimeout(r));
        task = performance.now();
      }
      const image = at(i);
      const {path, size, crc} = image;
      const name = encoder.encode(path);
      const big = size >= kMax32;
      // The local header: its sizes go in a Zip64 field when they don't fit.
      const local = zipHeader(30 + name.length + (big ? 20 : 0));
      local.put.u32(0x04034b50).u16(big ? 45 : 20).u16(kUtf8Flag).u16(0)
          .u16(time).u16(date).u32(crc)
          .u32(big ? kMax32 : size).u32(big ? kMax32 : size)
          .u16(name.length).u16(big ? 20 : 0).bytes(name);
      if (big) local.put.u16(1).u16(16).u64(size).u64(size);
      out.add(local.bytes);
      out.add(kHead);
      const run = runOf(window, image);
      if (run instanceof Blob) {
        out.flush();
        out.parts.push(run);
      } else {
        if (crc32(crc32(crc32(0, kHead), run), tailOf(image)) !== crc) {
          throw new Error(`${image.job.name} has changed since it was carved: ` +
                          `${image.name} is no longer what was carved`);
        }
        out.add(run);
      }
      out.add(tailOf(image));
      // The central directory's entry, with what doesn't fit in Zip64.
      const far = offset >= kMax32;
      const extra = (big ? 16 : 0) + (far ? 8 : 0);
      const entry = zipHeader(46 + name.length + (extra ? 4 + extra : 0));
      entry.put.u32(0x02014b50).u16(45).u16(big || far ? 45 : 20).u16(kUtf8Flag)
          .u16(0).u16(time).u16(date).u32(crc)
          .u32(big ? kMax32 : size).u32(big ? kMax32 : size)
          .u16(name.length).u16(extra ? 4 + extra : 0).u16(0).u16(0).u16(0)
          .u32(0).u32(far ? kMax32 : offset).bytes(name);
      if (extra) {
        entry.put.u16(1).u16(extra);
        if (big) entry.put.u64(size).u64(size);
        if (far) entry.put.u64(offset);
      }
      central.add(entry.bytes);
      centralSize += entry.bytes.length;
      offset += local.bytes.length + size;
    }
  }
  out.flush();
  central.flush();
  const zip64 = count >= kMax16 || offset >= kMax32 || centralSize >= kMax32;
  const record = zipHeader((zip64 ? 56 + 20 : 0) + 22);
  if (zip64) {
    record.put.u32(0x06064b50).u64(44).u16(45).u16(45).u32(0).u32(0)
        .u64(count).u64(count).u64(centralSize).u64(offset);
    record.put.u32(0x07064b50).u32(0).u64(offset + centralSize).u32(1);
  }
  record.put.u32(0x06054b50).u16(0).u16(0)
      .u16(zip64 ? kMax16 : count).u16(zip64 ? kMax16 : count)
      .u32(zip64 ? kMax32 : centralSize).u32(zip64 ? kMax32 : offset).u16(0);
  return new Blob([...out.parts, ...central.parts, record.bytes], {type: 'application/zip'});
}
