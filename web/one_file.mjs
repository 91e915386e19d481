// Writes the page as one HTML file that works opened straight from the
// disk (file://), with no server: the built site's scripts and style
// inline, the workers' scripts as <script type="text/plain"> elements that
// the page starts from blob: URLs, and the WebAssembly in the carving
// worker's script, in base64.
//
// Usage: node one_file.mjs SITE OUT
//
// Its CSP is the site's, but for what a page with no site of its own
// needs: its inline script and style allowed by their SHA-256 (never
// 'unsafe-inline'), workers from blob: URLs, 'wasm-unsafe-eval' since a
// blob: worker takes the page's CSP and compiles the WebAssembly under it,
// and data: for the icon.
import {createHash} from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

const [site, out] = process.argv.slice(2);
const read = (name) => fs.readFileSync(path.join(site, name), 'utf8');
const hash = (text) => `'sha256-${createHash('sha256').update(text).digest('base64')}'`;

// Text that would end a <script> or <style> element early, or change how
// the parser reads it, must not be in what goes inline.
function inline(text, name) {
  if (/<\/(script|style)|<!--/i.test(text)) throw new Error(`${name} can't go inline`);
  return text;
}

const wasm = fs.readFileSync(path.join(site, 'carve.wasm')).toString('base64');
const worker = inline(
    `self.carveWasm = Uint8Array.from(atob('${wasm}'), (c) => c.charCodeAt(0));\n` +
    read('carve.js') + '\n' + read('worker.js'), 'worker.js');
const probe = inline(read('runs.js') + '\n' + read('probe.js'), 'probe.js');
const style = inline(read('style.css'), 'style.css');

let html = read('index.html');
const scripts = [...html.matchAll(/<script src="([^"]+)" defer><\/script>\n/g)];
const script = inline(scripts.map((s) => read(s[1])).join('\n'), 'the page\'s scripts');
for (const [tag] of scripts) html = html.replace(tag, '');
const csp = ["default-src 'none'", `script-src ${hash(script)} 'wasm-unsafe-eval'`,
             'worker-src blob:', `style-src ${hash(style)}`, 'img-src blob: data:',
             'connect-src blob:', "base-uri 'none'", "form-action 'none'"].join('; ');
const icon = `data:image/svg+xml;base64,${fs.readFileSync(path.join(site, 'icon.svg')).toString('base64')}`;
const replace = (pattern, text) => {
  if (!pattern.test(html)) throw new Error(`index.html has no ${pattern}`);
  html = html.replace(pattern, () => text);
};
replace(/<meta http-equiv="Content-Security-Policy" content="[^"]*">/,
        `<meta http-equiv="Content-Security-Policy" content="${csp}">`);
replace(/<link rel="stylesheet" href="style.css">/, `<style>${style}</style>`);
replace(/<link rel="icon" href="icon.svg"/, `<link rel="icon" href="${icon}"`);
html = html.replace(/<link rel="manifest"[^>]*>\n/, '');
replace(/<\/body>/, `<script type="text/plain" id="worker.js">${worker}</script>\n` +
        `<script type="text/plain" id="probe.js">${probe}</script>\n` +
        `<script>${script}</script>\n</body>`);
fs.writeFileSync(out, html);
