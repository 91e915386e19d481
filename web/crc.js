// CRC-32 as zip files and PNG chunks have it: crc32(crc, bytes) continues
// `crc` (0 to begin with) over `bytes`, four bytes a step.

const kCrcTable = (() => {
  const t = new Int32Array(1024);
  for (let n = 0; n < 256; ++n) {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320 ^ (c >>> 1) : c >>> 1;
    t[n] = c;
  }
  for (let n = 0; n < 256; ++n)
    for (let k = 1; k < 4; ++k)
      t[k * 256 + n] = t[(k - 1) * 256 + n] >>> 8 ^ t[t[(k - 1) * 256 + n] & 255];
  return t;
})();

export function crc32(crc, bytes) {
  const t = kCrcTable;
  let c = ~crc;
  let i = 0;
  for (const end = bytes.length - 3; i < end; i += 4) {
    c ^= bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 | bytes[i + 3] << 24;
    c = t[768 + (c & 255)] ^ t[512 + (c >>> 8 & 255)] ^
        t[256 + (c >>> 16 & 255)] ^ t[c >>> 24];
  }
  for (; i < bytes.length; ++i) c = t[(c ^ bytes[i]) & 255] ^ c >>> 8;
  return ~c >>> 0;
}
