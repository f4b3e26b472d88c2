#!/usr/bin/python3
"""The series benchmark in one run: generates the cases (once, kept in the
work folder), runs every method on each under /usr/bin/time -v, measures the
outputs against the truth and prints one markdown table per case.

    bench/series/run.py [--work DIR] [--cases LIST] [--methods LIST]
                        [--zarvo PATH] [--zarvo-args ARGS ...]
                        [--zarvo-run LABEL PATH ARGS ...] [--threads N]
    bench/series/run.py --tables [--work DIR]    (reprints the tables)

Examples:
    bench/series/run.py --zarvo-args "" --zarvo-args "--series joint"
    bench/series/run.py --methods zarvo --zarvo-run joint /work/wt-series/build/cli/zarvo "--series joint"

Results accumulate in WORK/results.jsonl (one line per case and method; a
later line replaces an earlier one of the same case and label); a method
already measured on a case is skipped unless --again is given."""
import argparse
import json
import os
import platform
import re
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import measure  # noqa: E402
import series_io  # noqa: E402
import tables  # noqa: E402

PYTHON = "/usr/bin/python3"  # Debian's, where python3-dipy lives
ALL_CASES = ["dwi1-snr10", "dwi1-snr20", "dwi2-snr10", "dwi2-snr20", "fmri-snr30"]
OPTIONAL_CASES = ["dwi1-snr20-map", "dwi2-snr10-map"]


def generate(work, name):
    folder = os.path.join(work, name)
    if os.path.exists(os.path.join(folder, "case.json")):
        return folder
    m = re.fullmatch(r"dwi([12])-snr([0-9.]+)(-map)?", name)
    if m:
        cmd = [PYTHON, os.path.join(HERE, "make_dwi.py"), work, "--shells", m.group(1), "--snr", m.group(2)]
        if m.group(3):
            cmd.append("--level-map")
    else:
        m = re.fullmatch(r"fmri-snr([0-9.]+)", name)
        if not m:
            raise SystemExit("unknown case %r (dwiS-snrN[-map] or fmri-snrN)" % name)
        cmd = [PYTHON, os.path.join(HERE, "make_fmri.py"), work, "--snr", m.group(1)]
    print("generating", name, file=sys.stderr)
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return folder


def timed(cmd, log, env=None):
    """Runs cmd under /usr/bin/time -v; returns (wall seconds, CPU seconds,
    peak MB) or raises. CPU seconds (user + system) say more than wall time
    when other work shares the cores."""
    with open(log, "w") as err:
        r = subprocess.run(["/usr/bin/time", "-v"] + cmd, stdout=subprocess.DEVNULL, stderr=err, env=env)
    if r.returncode != 0:
        raise RuntimeError("exit %d: %s" % (r.returncode, open(log).read().strip().splitlines()[-25:]))
    return parse_time_log(log)


def parse_time_log(log):
    text = open(log).read()
    wall = re.search(r"Elapsed \(wall clock\) time.*: (.+)", text).group(1).strip()
    seconds = 0.0
    for part in wall.split(":"):
        seconds = seconds * 60 + float(part)
    peak_kb = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    cpu = sum(float(re.search(r"%s time \(seconds\): ([0-9.]+)" % k, text).group(1)) for k in ("User", "System"))
    return seconds, cpu, peak_kb / 1024.0


def methods_for(a):
    """(label, command builder or None for the input itself)."""
    out = []
    wanted = a.methods.split(",")
    if "noisy" in wanted:
        out.append(("noisy", None))
    if "mppca" in wanted:
        out.append(("mppca", lambda i, o: [PYTHON, os.path.join(HERE, "run_mppca.py"), i, o]))
    if "dwidenoise" in wanted:
        out.append(("dwidenoise", lambda i, o: ["dwidenoise", i, o, "-nthreads", str(a.threads),
                                                "-quiet", "-force"]))
    runs = []
    if "zarvo" in wanted:
        for extra in a.zarvo_args or [""]:
            runs.append(("zarvo " + extra if extra else "zarvo", a.zarvo, extra))
    runs += [tuple(r) for r in a.zarvo_run or []]
    for label, path, extra in runs:
        def build(i, o, path=path, extra=extra):
            return [path, "denoise", i, o, "--noise", "rician", "--threads", str(a.threads), "--quiet",
                    "--force", "--no-sidecar"] + shlex.split(extra)
        out.append((label, build))
    return out


def record(results_path, case, row):
    """Appends one row at once, so that an interrupted run keeps what it did."""
    row = dict(row, case=case, date=time.strftime("%Y-%m-%dT%H:%MZ", time.gmtime()))
    with open(results_path, "a") as f:
        f.write(json.dumps(row, sort_keys=True) + "\n")


def run_case(a, folder, env, results_path):
    case = series_io.load_case(folder)
    name = case["name"]
    source = os.path.join(folder, case["input"])
    done = {m for (c, m), r in tables.latest(results_path).items() if c == name and "error" not in r}
    if case["kind"] == "dwi" and "noisy" in a.methods.split(",") and (a.again or "b0 average" not in done):
        record(results_path, name, dict(measure.measure(folder, b0_avg=True), method="b0 average"))
    for label, build in methods_for(a):
        if label in done and not a.again:
            print("%s / %s: already in the results (--again reruns it)" % (name, label), file=sys.stderr)
            continue
        row = {"method": label}
        if build is None:
            denoised = source
        else:
            denoised = os.path.join(folder, "out-" + re.sub(r"[^A-Za-z0-9]+", "_", label) + ".nii")
            log = denoised[:-4] + ".time"
            finished = os.path.exists(log) and "Exit status: 0" in open(log).read()
            try:
                if a.reuse and finished and os.path.exists(denoised):
                    row["seconds"], row["cpu_seconds"], row["peak_mb"] = parse_time_log(log)
                else:
                    row["seconds"], row["cpu_seconds"], row["peak_mb"] = timed(build(source, denoised), log, env)
                row["command"] = " ".join(shlex.quote(c) for c in build(case["input"], "OUT.nii"))
            except RuntimeError as e:
                print("%s / %s failed: %s" % (name, label, e), file=sys.stderr)
                record(results_path, name, dict(row, error=str(e)[:300]))
                continue
        row.update(measure.measure(folder, denoised))
        record(results_path, name, row)
        print("%s / %s done" % (name, label), file=sys.stderr)


def machine():
    model = "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        model = re.search(r"Model name:\s*(.+)", out).group(1).strip()
    except Exception:  # noqa: BLE001 - informational only
        pass
    return "%s, %d cores, %s" % (model, os.cpu_count(), platform.node())


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--work", default="/tmp/zarvo-series-bench")
    p.add_argument("--cases", default=",".join(ALL_CASES),
                   help="comma-separated; also %s" % ", ".join(OPTIONAL_CASES))
    p.add_argument("--methods", default="noisy,mppca,dwidenoise,zarvo")
    p.add_argument("--zarvo", default=os.path.join(HERE, "..", "..", "build", "cli", "zarvo"))
    p.add_argument("--zarvo-args", action="append", help="one zarvo row per use (default one, no extra)")
    p.add_argument("--zarvo-run", nargs=3, action="append", metavar=("LABEL", "PATH", "ARGS"),
                   help="a further zarvo row from another build")
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--again", action="store_true", help="rerun methods already in the results")
    p.add_argument("--reuse", action="store_true",
                   help="measure an output left in the work folder by a finished earlier run (its .time "
                        "log says exit status 0) instead of running the method again")
    p.add_argument("--tables", action="store_true", help="only reprint the tables of WORK/results.jsonl")
    a = p.parse_args()
    os.makedirs(a.work, exist_ok=True)
    results = os.path.join(a.work, "results.jsonl")
    if not a.tables:
        print("machine: %s; date %s; load %s" % (machine(), time.strftime("%Y-%m-%dT%H:%MZ", time.gmtime()),
                                                 open("/proc/loadavg").read().split()[:3]))
        env = dict(os.environ, OMP_NUM_THREADS=str(a.threads), OPENBLAS_NUM_THREADS=str(a.threads))
        for name in a.cases.split(","):
            run_case(a, generate(a.work, name), env, results)
    print(tables.render(results, a.cases.split(",")))


if __name__ == "__main__":
    main()
