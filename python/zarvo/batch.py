"""Denoising of many NIfTI files on Dask distributed: a local cluster of worker
processes, or an existing scheduler (``dask scheduler`` / ``dask worker``, or
a job-queue system).

    python3 -m zarvo.batch sub-*.nii.gz --out-dir clean/ --workers 4 --noise rician
    python3 -m zarvo.batch sub-*.nii.gz --out-dir clean/ --scheduler tcp://host:8786

Every output is what ``zarvo denoise INPUT OUTPUT`` writes with the same
options, written atomically, then its sidecar (.json); a rerun skips the
outputs whose sidecar matches. A task whose worker dies runs again on
another worker. With ``spread_volumes`` the volumes of a 4-D series become
separate tasks: the levels are set once for the series first, and the
volumes are put back in order before the output is written.
"""

import argparse
import os
import sys
import time

from . import _core
from ._options import DATATYPES, DEFAULT_DATATYPE, keyword, shown_in
from .files import Request, nifti_stem, run_request, sidecar_path, write_text_atomically


class BatchError(RuntimeError):
    """Some files failed; the others were written. ``failures`` maps each
    failed input to its message."""

    def __init__(self, failures):
        self.failures = failures
        super().__init__(f"{len(failures)} file(s) failed: " + "; ".join(
            f"{path}: {message}" for path, message in failures.items()))


def output_path(input, out_dir, suffix=""):
    name = os.path.basename(input)
    ending = ".nii.gz" if name.endswith((".nii.gz", ".hdr.gz", ".img.gz")) else ".nii"
    return os.path.join(out_dir, nifti_stem(name) + suffix + ending)


# ---- tasks (run on the workers) ----------------------------------------------

def _worker_name():
    try:
        from distributed import get_worker
        return get_worker().address
    except (ImportError, ValueError):
        return "local"


def _task_threads(threads):
    """Walk threads of one task: as asked, else the worker's cores shared
    among its task slots."""
    if threads:
        return threads
    try:
        from distributed import get_worker
        slots = max(1, get_worker().nthreads)
    except (ImportError, ValueError):
        slots = 1
    return max(1, _core.threads({}) // slots)


def _file_task(request, threads, force):
    row = run_request(request, threads=_task_threads(threads), force=force)
    row["worker"] = _worker_name()
    return row


def _load_series_task(request):
    """The series as the command reads it, and its level per volume, set once
    for the whole series before the volumes are spread."""
    import numpy as np
    from . import estimate_sigma
    data = _core.read_nifti(request.input)
    series = data if data.ndim == 4 else data[..., None]
    volumes = series.shape[3]
    scope = request.engine["sigma_scope"]
    if request.sigma is not None:
        given = request.given["sigma"]
        levels = given * volumes if len(given) == 1 else list(given)
    else:
        levels = [float(v) for v in np.atleast_1d(
            estimate_sigma(series, request.engine["noise"], sigma_scope=scope))]
    pooled = request.sigma is None and scope == "series" and volumes > 1
    return {"series": series, "levels": levels, "shape": data.shape, "pooled": pooled,
            "started": time.time()}


def _per_group(request):
    return request.engine["estimate"] == "group"


def _volume_task(loaded, t, request, threads):
    from . import denoise
    sigma = loaded["levels"][t]
    options = {keyword(name): value for name, value in request.given.items()
               if name not in ("sigma", "sigma_scope", "threads")}
    return denoise(loaded["series"][..., t], sigma, threads=_task_threads(threads), **options)


def _write_series_task(request, loaded, *volumes):
    import numpy as np
    data = np.stack(volumes, axis=-1).reshape(loaded["shape"], order="F")
    side = sidecar_path(request.output)
    if os.path.exists(side):
        os.remove(side)
    text, description = request.record(loaded["shape"], loaded["levels"], loaded["pooled"])
    _core.write_nifti(request.output, request.input, data, request.datatype, description)
    write_text_atomically(side, text)
    return {"output": request.output, "sidecar": side, "sigma": loaded["levels"],
            "seconds": time.time() - loaded["started"], "skipped": False,
            "worker": _worker_name() + f" (+{len(volumes)} volume tasks)"}


# ---- driver --------------------------------------------------------------------

def _requests(inputs, out_dir, suffix, options):
    if not os.path.isdir(out_dir):
        raise ValueError(f"output folder '{out_dir}' does not exist")
    requests, seen = [], {}
    for path in inputs:
        request = Request(path, output_path(path, out_dir, suffix), **options)
        if request.output in seen:
            raise ValueError(f"'{path}' and '{seen[request.output]}' would both be written "
                             f"to '{request.output}'; give them different names")
        if request.output == request.input:
            raise ValueError(f"the output of '{path}' would be the input; choose another "
                             "--out-dir or a --suffix")
        seen[request.output] = path
        requests.append(request)
    return requests


def _submit(client, request, threads, force, spread):
    key = f"zarvo-{nifti_stem(request.input)}-{os.urandom(4).hex()}"
    volumes = 1
    # A mask, or per-group estimation (whose matching level comes from the
    # whole series), keeps the series in one task.
    if (spread and request.mask is None and not _per_group(request)
            and not request.is_complete()):
        import nibabel
        shape = nibabel.load(request.input).shape
        volumes = shape[3] if len(shape) > 3 else 1
    if volumes == 1:
        return client.submit(_file_task, request, threads, force, key="file-" + key, pure=False)
    if os.path.exists(request.output) and not (force or request.output_is_ours()):
        raise ValueError(f"output '{request.output}' exists and was not written by zarvo "
                         "(use force to overwrite it)")
    loaded = client.submit(_load_series_task, request, key="load-" + key, pure=False)
    parts = [client.submit(_volume_task, loaded, t, request, threads, key=f"volume{t}-{key}",
                           pure=False) for t in range(volumes)]
    return client.submit(_write_series_task, request, loaded, *parts, key="file-" + key,
                         pure=False)


def _format_row(row):
    levels = row.get("sigma") or []
    level = f"{levels[0]:.6g}" if len(levels) == 1 else (
        f"{min(levels):.6g}..{max(levels):.6g}" if levels else "-")
    seconds = "skipped" if row.get("skipped") else f"{row['seconds']:.1f}"
    return level, seconds


def _table(rows, stream):
    header = ("file", "level", "seconds", "worker")
    lines = [header] + [(os.path.basename(r["input"]), *(_format_row(r) if "error" not in r
                         else ("-", "error: " + r["error"])), r.get("worker", "-")) for r in rows]
    widths = [max(len(str(line[i])) for line in lines) for i in range(4)]
    for line in lines:
        print("  ".join(str(v).ljust(w) for v, w in zip(line, widths)).rstrip(), file=stream)


def run_batch(inputs, out_dir, client=None, *, scheduler=None, workers=None, threads=None,
              force=False, spread_volumes=False, suffix="", stream=sys.stderr, **options):
    """Like denoise_files; returns one row per input (input, output, sigma,
    seconds, skipped, worker, or error) in the order of the inputs."""
    from distributed import Client, LocalCluster, as_completed
    requests = _requests(inputs, out_dir, suffix, options)
    own = []
    if client is None:
        if scheduler:
            client = Client(scheduler)
        else:
            workers = workers or _core.threads({})
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
            own.append(cluster)
            client = Client(cluster)
            threads = threads or max(1, _core.threads({}) // workers)
        own.insert(0, client)
    try:
        futures = {}
        rows = [None] * len(requests)
        for i, request in enumerate(requests):
            try:
                futures[_submit(client, request, threads, force, spread_volumes)] = i
            except Exception as error:  # unreadable or unwritable: the others go on
                rows[i] = {"input": request.input, "output": request.output, "error": str(error)}
        done = sum(r is not None for r in rows)
        for future in as_completed(list(futures)):
            i = futures[future]
            try:
                rows[i] = {"input": requests[i].input, **future.result()}
            except Exception as error:  # the file failed; the others go on
                rows[i] = {"input": requests[i].input, "output": requests[i].output,
                           "error": str(error) or type(error).__name__}
            done += 1
            if stream:
                r = rows[i]
                what = "error: " + r["error"] if "error" in r else \
                    "level {}, {} s, {}".format(*_format_row(r), r["worker"])
                print(f"zarvo.batch: [{done}/{len(requests)}] {os.path.basename(r['input'])}: "
                      f"{what}", file=stream, flush=True)
        if stream:
            _table(rows, stream)
        return rows
    finally:
        for thing in own:
            thing.close()


def denoise_files(inputs, out_dir, client=None, **options):
    """Denoises every input (NIfTI files) into ``out_dir`` under its own name
    and returns the output paths in the order of the inputs. Options:
    ``scheduler`` (an address; default: a local cluster of ``workers``
    processes, every core by default), ``threads`` (per task), ``force``,
    ``spread_volumes``, ``suffix`` (added to the output names), ``stream``
    (progress and the final table; None for silence) and those of
    ``zarvo.files.denoise_file``. Raises BatchError after the others are
    done when some files fail."""
    rows = run_batch(inputs, out_dir, client, **options)
    failures = {r["input"]: r["error"] for r in rows if "error" in r}
    if failures:
        raise BatchError(failures)
    return [r["output"] for r in rows]


# ---- command line --------------------------------------------------------------

def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m zarvo.batch",
        description="Denoise NIfTI files on Dask distributed, each as `zarvo denoise` does.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="noisy images (NIfTI-1/2: .nii, .nii.gz, .hdr/.img)")
    parser.add_argument("--out-dir", required=True, help="folder for the outputs (must exist)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int,
                       help="worker processes of the local cluster (default: every core)")
    parser.add_argument("--threads", type=int, help="walk threads per task")
    parser.add_argument("--spread-volumes", action="store_true",
                        help="denoise the volumes of a 4-D series as separate tasks")
    parser.add_argument("--suffix", default="", help="added to every output name")
    parser.add_argument("--force", action="store_true",
                        help="overwrite existing outputs that zarvo did not write")
    parser.add_argument("--quiet", action="store_true", help="no progress and no table")
    parser.add_argument("--datatype", choices=DATATYPES,
                        help=f"output data type (default: {DEFAULT_DATATYPE})")
    # The engine's options, from its declaration; not given: its defaults.
    expert = parser.add_argument_group("expert options (override the profile)")
    for d in shown_in("python", ("whole", "real", "flag", "choice", "levels")):
        if d["name"] == "threads":
            continue  # per task, above
        group = expert if d["expert"] else parser
        flag, dest = "--" + d["name"].replace("_", "-"), keyword(d["name"])
        text = f"{d['help']} [default: {d['default']}]"
        if d["kind"] == "flag":
            group.add_argument(flag, action=argparse.BooleanOptionalAction, dest=dest, help=text)
        else:
            group.add_argument(flag, dest=dest, help=text, choices=d["choices"] or None,
                               type={"whole": int, "real": float, "levels": float}.get(d["kind"]))
    return parser.parse_args(argv)


def main(argv=None):
    args = vars(parse_args(argv))
    inputs, out_dir = args.pop("inputs"), args.pop("out_dir")
    stream = None if args.pop("quiet") else sys.stderr
    try:
        rows = run_batch(inputs, out_dir, stream=stream, **args)
    except ValueError as error:
        print(f"zarvo.batch: error: {error}", file=sys.stderr)
        return 2
    return 1 if any("error" in r for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
