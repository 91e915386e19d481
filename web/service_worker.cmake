# Writes the site's service worker, ${SITE}/sw.js, from ${TEMPLATE}: its
# cache is named after the SHA-256 of every file in FILES (a list, the
# site's files other than sw.js), and those are the files it caches, with
# the site's root.
# Usage: cmake -DSITE=... -DTEMPLATE=... -DFILES=a;b;c -P service_worker.cmake
set(all "")
set(list "'./'")
foreach(file ${FILES})
  file(SHA256 ${SITE}/${file} one)
  string(APPEND all "${file} ${one}\n")
  string(APPEND list ", '${file}'")
endforeach()
string(SHA256 hash "${all}")
string(SUBSTRING ${hash} 0 16 SITE_HASH)
set(SITE_FILES ${list})
configure_file(${TEMPLATE} ${SITE}/sw.js @ONLY)
