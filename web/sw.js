// The site's service worker: after one visit, the page loads and carves
// with no network, from the browser's cache.
//
// Each build of the site has a cache of its own, named after a hash of
// all its files, that this worker fills when it is installed, bypassing
// the HTTP cache. A new build's worker waits until no page of the old one
// is open before it takes over (no skipWaiting), and then deletes the old
// cache, so a page never mixes files of two builds.
'use strict';

const kCache = 'pngcarve-@SITE_HASH@';
const kFiles = [@SITE_FILES@];

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(kCache).then((cache) =>
    cache.addAll(kFiles.map((file) => new Request(file, {cache: 'reload'})))));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys().then((keys) => Promise.all(
      keys.filter((key) => key.startsWith('pngcarve-') && key !== kCache)
          .map((key) => caches.delete(key)))));
});

self.addEventListener('fetch', (event) => {
  if (event.request.method !== 'GET') return;
  event.respondWith(caches.open(kCache)
      .then((cache) => cache.match(event.request, {ignoreSearch: true}))
      .then((hit) => hit || fetch(event.request)));
});
