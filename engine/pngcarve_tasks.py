"""pngcarve-report's tasks on Celery workers: one range of an input carved,
its own bytes hashed, and the parts put together (and mended) into the record
one run over the whole input writes.

Every worker runs `pngcarve-report` (PNGCARVE_REPORT, else from PATH) and
reads the input, and writes the parts and images, by path: the input, the
parts folder and the output folder must be on storage every worker sees, at
the same paths. The broker and result backend are Redis, at PNGCARVE_BROKER
(redis://localhost:6379/0 unless set).

A task is acknowledged once it has run, and given back to the broker when the
worker running it dies, so a killed worker's range is run again by another:
its part is written under a name of its own and renamed when whole, so a
part half written is never taken for one.
"""

import os
import subprocess
import time

from celery import Celery

BROKER = os.environ.get("PNGCARVE_BROKER", "redis://localhost:6379/0")
REPORT = os.environ.get("PNGCARVE_REPORT", "pngcarve-report")

app = Celery("pngcarve", broker=BROKER, backend=BROKER)
app.conf.update(
    task_acks_late=True,
    task_reject_on_worker_lost=True,
    worker_prefetch_multiplier=1,
    task_serializer="json",
    result_serializer="json",
    accept_content=["json"],
)


def _held(what):
    """For tests: with PNGCARVE_HOLD naming a folder, the first part any
    worker carves, once carved and before its part is given, says so there
    ("held", with the worker's process id) and waits for "release"."""
    hold = os.environ.get("PNGCARVE_HOLD")
    if not hold:
        return
    try:
        fd = os.open(os.path.join(hold, "held"), os.O_CREAT | os.O_EXCL | os.O_WRONLY)
    except FileExistsError:
        return
    os.write(fd, ("%d %s\n" % (os.getpid(), what)).encode())
    os.close(fd)
    while not os.path.exists(os.path.join(hold, "release")):
        time.sleep(0.05)


def _run(command, cwd, out, what=None):
    """Runs `command` in `cwd` with its standard output to the file `out`,
    written whole or not at all. Returns its exit status and standard
    error."""
    tmp = "%s.%d.tmp" % (out, os.getpid())
    with open(tmp, "wb") as f:
        done = subprocess.run(command, cwd=cwd, stdout=f, stderr=subprocess.PIPE)
    if what is not None:
        _held(what)
    os.replace(tmp, out)
    return done.returncode, done.stderr.decode("utf-8", "replace")


@app.task(name="pngcarve.carve_part")
def carve_part(args, part, cwd, out):
    """Carves one part: `part` is ["--range", "START:LENGTH"] or
    ["--source-part"]; `args` are the carve's options and input."""
    status, said = _run([REPORT] + part + args, cwd, out, " ".join(part))
    if status != 0:
        os.unlink(out)
        raise RuntimeError("pngcarve-report %s failed: %s" % (" ".join(part), said))
    return out


@app.task(name="pngcarve.merge")
def merge(parts, cwd, out):
    """Puts the parts together and mends: the record goes to `out`."""
    status, said = _run([REPORT, "--merge"] + parts, cwd, out)
    return {"status": status, "stderr": said}
