// The probe's job: whether each image that its structure check can't vouch
// for shows in this browser, found out by a worker of its own (probe.js)
// once no file is being carved, so that it takes no time from the carving
// or the page meanwhile (a thumbnail shows before that all the same), and
// written to the catalog (setDecodable).
//
// probeImages(job, first, count) queues the catalog's images of `job` from
// index `first` on; the page calls probeNow() when the carving worker is idle, and
// carving() when it is given more to do. The worker starts with the first
// image it is given.
import {decodable, imageAt, setDecodable} from './catalog.js';
import {startWorker} from './jobs.js';

const kProbeBatch = 2000;   // images a message to the probe
const kProbesAhead = 4;     // messages it has and hasn't answered

// The images not known to decode, in order, by their catalog indices, a
// batch of each input's at a time, with a few messages in flight.
let probe = null;
const toProbe = [];   // [job, first, count] not yet sent
let inFlight = 0;
let idle = false;     // the carving worker has nothing to do

export function probeImages(job, first, n) {
  toProbe.push([job, first, n]);
}

export function probeNow() {
  idle = true;
  while (inFlight < kProbesAhead && toProbe.length) {
    // Up to kProbeBatch images, of as many inputs as they take.
    const groups = [];
    for (let room = kProbeBatch; room > 0 && toProbe.length;) {
      const [job, first, n] = toProbe[0];
      const take = Math.min(n, room);
      if (take === n) toProbe.shift();
      else toProbe[0] = [job, first + take, n - take];
      room -= take;
      const images = [];
      for (let i = first; i < first + take; ++i) {
        if (decodable(i) !== undefined) continue;
        const {offset, run, ending, width, height} = imageAt(i);
        images.push({key: i, offset, run, ending, pixels: width * height});
      }
      if (images.length) groups.push({file: job.file, name: job.name, images});
    }
    if (groups.length === 0) continue;
    if (probe === null) startProbe();
    probe.postMessage(groups);
    ++inFlight;
  }
}

function startProbe() {
  probe = startWorker('probe.js');
  probe.onmessage = (event) => {
    const {answers, done} = event.data;
    for (const [key, shows] of answers) setDecodable(key, shows);
    inFlight -= done;
    if (done && idle) probeNow();
  };
}

export function carving() {
  idle = false;
}
