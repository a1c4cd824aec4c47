"""Figures of the ``vellkit`` command's batch runs.

    PYTHONPATH=build/dev:python python benchmarks/command_batch.py [--quick] [--workdir DIR]

Prints, each measured in a child process:

* ``check`` of a file that makes the reader report a failed read for every
  record (a series whose N records lie at one offset with their times past the
  end of the file; 489 KB by default): wall time and peak memory (the report
  capture keeps counts, not the reports' tracebacks);
* Ctrl-C in ``export --jobs 2`` over 40 image maps, sent 2 s after the start:
  the time from SIGINT to the end of the command, its exit status, the
  outputs it listed and the files left in the output folder (the same set,
  and no ``.part`` file);
* ``export --format netcdf`` of 60 small spectra with ``--jobs 1`` and
  ``--jobs 2``: wall time of each (each worker imports xarray once, then
  takes file after file).

Files are made with ``vellkit_tools.writer`` in a temporary folder (or
``--workdir``). POSIX only (SIGINT to a child, ``resource``).
"""

import argparse
import importlib.util
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

from vellkit_tools import arrays, writer as w


def report_heavy(path: str, records: int) -> str:
    """A series of ``records`` empty records at one offset, their times past the end."""
    vf = w.make_3d_file([w.Record(np.zeros(0, np.float32)) for _ in range(records)], 0,
                        w.time_resolved_params(0, 1.0, 2.0), info_size=0,
                        store_table=[[-1, records], [0, records - 1]])
    vf.write(path)
    return path


#: The command run in this interpreter, then its own peak memory (KB) printed last on stderr.
MEASURED = """
import resource, runpy, sys
sys.argv = ["vellkit"] + sys.argv[1:]
status = 0
try:
    runpy.run_module("vellkit_tools", run_name="__main__")
except SystemExit as exit:
    status = exit.code
sys.stderr.write("\\n%d\\n" % resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
sys.exit(status)
"""


def command(*args: str) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "vellkit_tools"] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def check_figures(folder: str, records: int) -> None:
    # Made in a child: a child forked from a parent that built the file would
    # count the parent's memory in its own peak.
    path = os.path.join(folder, "reports.vell")
    subprocess.run([sys.executable, __file__, "--make-report-heavy", path, str(records)], check=True)
    started = time.monotonic()
    proc = subprocess.Popen([sys.executable, "-c", MEASURED, "check", path], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    out, err = proc.communicate()
    elapsed = time.monotonic() - started
    peak = int(err.decode().split()[-1])
    summary = [line for line in out.decode().splitlines() if "failed read" in line]
    print("check, report-heavy file of %d KB: %.2f s, peak %.0f MB, exit %d" % (
        os.path.getsize(path) // 1000, elapsed, peak / 1024.0, proc.returncode))
    print("  " + (summary[0].strip() if summary else "(no summary line)"))


def interrupt_figures(folder: str, maps: int, shape: tuple, after: float) -> None:
    source = os.path.join(folder, "maps")
    os.makedirs(source, exist_ok=True)
    first = arrays.write_image_map(os.path.join(source, "m000.vell"),
                                   np.random.default_rng(1).random(shape, np.float32))
    paths = [first]
    for k in range(1, maps):
        paths.append(os.path.join(source, "m%03d.vell" % k))
        shutil.copyfile(first, paths[-1])
    out_dir = os.path.join(folder, "out")
    proc = command("export", *paths, "--to", out_dir, "--jobs", "2", "--no-images")
    time.sleep(after)
    proc.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, _ = proc.communicate()
    elapsed = time.monotonic() - sent
    left = os.listdir(out_dir) if os.path.isdir(out_dir) else []
    listed = set(out.decode().split())
    print("Ctrl-C in export --jobs 2 of %d maps after %.1f s: ended %.2f s after SIGINT, exit %d"
          % (maps, after, elapsed, proc.returncode))
    print("  %d outputs listed, %d files in the folder (%d .part), listed == left: %s"
          % (len(listed), len(left), sum(n.endswith(".part") for n in left),
             listed == set(os.path.join(out_dir, n) for n in left)))


def jobs_figures(folder: str, count: int) -> None:
    source = os.path.join(folder, "small")
    os.makedirs(source, exist_ok=True)
    first = arrays.write_spectrum(os.path.join(source, "s000.vell"),
                                  np.random.default_rng(2).random(500, np.float32))
    paths = [first]
    for k in range(1, count):
        paths.append(os.path.join(source, "s%03d.vell" % k))
        shutil.copyfile(first, paths[-1])
    times = []
    for jobs in (1, 2):
        started = time.monotonic()
        proc = command("export", *paths, "--to", os.path.join(folder, "nc%d" % jobs),
                       "--format", "netcdf", "--no-images", "--jobs", str(jobs))
        proc.communicate()
        times.append(time.monotonic() - started)
        if proc.returncode:
            print("export --jobs %d failed (exit %d)" % (jobs, proc.returncode))
    print("export --format netcdf of %d small spectra: --jobs 1 %.2f s, --jobs 2 %.2f s (x%.2f)"
          % (count, times[0], times[1], times[0] / times[1]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny files (a smoke test)")
    parser.add_argument("--workdir", metavar="DIR", help="make the files here and keep them")
    parser.add_argument("--make-report-heavy", nargs=2, metavar=("PATH", "RECORDS"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.make_report_heavy:
        report_heavy(args.make_report_heavy[0], int(args.make_report_heavy[1]))
        return 0
    folder = args.workdir or tempfile.mkdtemp(prefix="vellkit-command-")
    os.makedirs(folder, exist_ok=True)
    try:
        check_figures(folder, 2000 if args.quick else 489000)
        if args.quick:
            interrupt_figures(folder, 4, (4, 5, 20), 1.5)
        else:
            interrupt_figures(folder, 40, (40, 50, 200), 2.0)
        if importlib.util.find_spec("netCDF4") is not None:
            jobs_figures(folder, 6 if args.quick else 60)
    finally:
        if not args.workdir:
            shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
