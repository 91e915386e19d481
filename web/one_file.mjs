// Writes the page as one HTML file that works opened straight from the
// disk (file://), with no server: the built site's scripts and style
// inline, the workers' scripts as <script type="text/plain"> elements that
// the page starts from blob: URLs, and the WebAssembly in the carving
// worker's script, in base64.
//
// Each script is its modules joined in import order, each once, with their
// import lines and `export` words taken out: the modules only import
// names, so that is all a bundler would do for them, and it needs nothing
// from npm. A module imported whole (`import * as name`, as the page's npm
// packages are) gets a scope of its own: `const name = (() => { ...;
// return {its exports}; })();`. It fails on an import circle, and on a
// name declared at the top of two modules, which would clash once they
// share one scope. A module with a licence beside it in the site
// (carve.js: carve.LICENSE.txt) keeps it, as a comment before its code.
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

const kImport = /^import\s+(?:\w+|\{[^}]*\}|\*\s+as\s+(\w+))\s+from\s+'\.\/([\w.]+)';\n/gm;
const kTopName = /^(?:export\s+)?(?:(?:async\s+)?function\*?|const|let|var|class)\s+([\w$]+)/gm;

function bundle(entry) {
  const done = [];
  const visiting = [];
  const whole = new Map();  // a module imported whole -> its name
  const visit = (name) => {
    if (done.includes(name)) return;
    if (visiting.includes(name)) throw new Error(`an import circle: ${[...visiting, name].join(' -> ')}`);
    visiting.push(name);
    for (const [, as, imported] of read(name).matchAll(kImport)) {
      if (as) whole.set(imported, as);
      visit(imported);
    }
    visiting.pop();
    done.push(name);
  };
  visit(entry);
  const declared = new Map();
  return done.map((name) => {
    let text = read(name).replace(kImport, '').replace(/^export default [\w$]+;\n?/m, '');
    if (whole.has(name)) {
      const exports = [];
      text = text.replace(/^export\s*\{([^}]*)\};?\n?/gm, (_, list) => {
        for (const entry of list.split(',')) {
          const [local, as = local] = entry.trim().split(/\s+as\s+/);
          exports.push(`${as}: ${local}`);
        }
        return '';
      }).replace(kTopName, (all, top) => {
        if (all.startsWith('export')) exports.push(top);
        return all.replace(/^export\s+/, '');
      });
      text = `const ${whole.get(name)} = (() => {\n${text}\nreturn {${exports.join(', ')}};\n})();`;
    }
    text = text.replace(/^export\s+(?=(?:async\s+)?function|const|let|var|class)/gm, '');
    const licence = path.join(site, name.replace(/\.js$/, '.LICENSE.txt'));
    if (fs.existsSync(licence)) {
      const notice = fs.readFileSync(licence, 'utf8');
      if (notice.includes('*/')) throw new Error(`${licence} can't go in a comment`);
      text = `/*! ${name}\n${notice}*/\n${text}`;
    }
    const tops = whole.has(name) ? [whole.get(name)] : [...text.matchAll(kTopName)].map((m) => m[1]);
    for (const top of tops) {
      if (declared.has(top)) throw new Error(`${top} is declared in ${declared.get(top)} and ${name}`);
      declared.set(top, name);
    }
    return text;
  }).join('\n');
}

const wasm = fs.readFileSync(path.join(site, 'carve.wasm')).toString('base64');
// The workers' bundles run as classic scripts (jobs.js says why), where
// carve.js's import.meta is not to be had: the script's own address is.
const worker = inline(
    `self.carveWasm = Uint8Array.from(atob('${wasm}'), (c) => c.charCodeAt(0));\n` +
    bundle('worker.js').replaceAll('import.meta.url', 'self.location.href'), 'worker.js');
const probe = inline(bundle('probe.js'), 'probe.js');
const style = inline(read('style.css'), 'style.css');

let html = read('index.html');
const scripts = [...html.matchAll(/<script type="module" src="([^"]+)"><\/script>\n/g)];
const script = inline(scripts.map((s) => bundle(s[1])).join('\n'), 'the page\'s scripts');
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
        `<script type="module">${script}</script>\n</body>`);
fs.writeFileSync(out, html);
