"""The vellkit command on sample files: list, show, check, export, preview.

    python examples/demo.py [FOLDER]

Makes one sample file of each kind with the writer (plus a damaged copy and a
file that is not a VELL file, to show how the command reports them), runs
each subcommand on them, and ends by printing where the outputs are.
Needs matplotlib for the pictures: pip install ".[plot]".
"""

import os
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import samples  # noqa: E402


def vellkit(*args, show=True):
    """Run the vellkit command as a user would and show what it prints."""
    print("\n$ vellkit " + " ".join(shlex.quote(str(a)) for a in args), flush=True)
    proc = subprocess.run([sys.executable, "-m", "vellkit_tools"] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    lines = proc.stdout.splitlines()
    if not show and len(lines) > 6:
        lines = lines[:6] + ["  ... (%d more lines)" % (len(lines) - 6)]
    print("\n".join(lines))
    print("[exit status %d]" % proc.returncode)
    return proc.returncode


def main():
    folder = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "vellkit-demo")
    data = os.path.join(folder, "data")
    made = samples.make_samples(data)
    with open(made["map"], "rb") as f:
        whole = f.read()
    damaged = os.path.join(data, "cut-short.vell")
    with open(damaged, "wb") as f:
        f.write(whole[:len(whole) // 2])  # as if a copy had been interrupted
    notes = os.path.join(data, "notes.txt")
    with open(notes, "w") as f:
        f.write("measured on Tuesday\n")
    print("sample files in", data)
    os.chdir(folder)
    rel = lambda p: os.path.relpath(p, folder)  # noqa: E731
    good = [rel(made[k]) for k in ("spectrum", "map", "series", "regions", "traces")]

    vellkit("list", *good)
    vellkit("show", rel(made["map"]), "AB/3D/NONE", show=False)
    vellkit("show", rel(made["regions"]), "--json", show=False)
    vellkit("check", *(good + [rel(damaged), rel(notes)]))
    vellkit("export", *good, "--to", "export", "--format", "csv", "--force")
    pictures = os.path.join(folder, "pictures")
    os.makedirs(pictures, exist_ok=True)
    status = 0
    for name, args in (("spectrum", [good[0]]), ("map-1650", [good[1], "--at", "1650"]),
                       ("map-lipid-band", [good[1], "--band", "2800:3000"]),
                       ("series", [good[2]]), ("regions", [good[3], "--at", "2920"]),
                       ("traces", [good[4], "--trace", "Lipid CH"])):
        status |= vellkit("preview", *args, "--out", os.path.join("pictures", name + ".png"),
                          "--force")

    print("\nOutputs:")
    print("  sample files:  ", data)
    print("  exported CSV:  ", os.path.join(folder, "export"))
    print("  pictures:      ", pictures if status == 0 else
          pictures + " (install matplotlib for them: pip install \".[plot]\")")


if __name__ == "__main__":
    main()
