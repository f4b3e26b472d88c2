"""Denoising of many NIfTI files on Dask distributed: a local cluster of worker
processes, or an existing scheduler (``dask scheduler`` / ``dask worker``, or
a job-queue system).

    python3 -m zarvo.batch sub-*.nii.gz --out-dir clean/ --workers 4 --noise rician
    python3 -m zarvo.batch sub-*.nii.gz --out-dir clean/ --scheduler tcp://host:8786

Every output is what ``zarvo denoise INPUT OUTPUT`` writes with the same
options, committed with its QC page and sidecar (.json) as one output set,
as the command commits them; a rerun skips the outputs whose sidecar
matches. A task whose worker dies runs again on
another worker. With ``spread_volumes`` the volumes of a 4-D series become
separate tasks: the levels are set once for the series first, and the
volumes are put back in order before the output is written. A joint series
(``series="joint"``) is not spread over workers (its groups are filtered
across every component image at once); it runs as two tasks: one prepares
the component images (the levels, the transform along the volumes, and
every component filtered) into a scratch file beside the output, and one
takes back what the filtering left in the residual, turns them into the
volumes and writes the output; the driver removes the scratch file however
the file ends. What the command would note about a file (a mask or level map
taken despite another affine, ...) follows the table, spread or not.
"""

import argparse
import os
import sys
import time

from . import _core
from ._options import (DATATYPES, DECLARATIONS, DEFAULT_DATATYPE, about_files, given_options,
                       keyword, shown_in)
from .files import Request, nifti_stem, run_request, sidecar_path


class BatchError(RuntimeError):
    """Some files failed; the others were written. ``failures`` maps each
    failed input to its message."""

    def __init__(self, failures):
        self.failures = failures
        super().__init__(f"{len(failures)} file(s) failed: " + "; ".join(
            f"{path}: {message}" for path, message in failures.items()))


def _check_name_part(what, text):
    if text and (os.sep in text or (os.altsep and os.altsep in text) or "\0" in text):
        raise ValueError(f"{what} {text!r}: output names stay inside --out-dir; "
                         "no folder separators")


def _with_desc(stem, desc):
    """A BIDS name with its desc- entity set: sub-01_T1w -> sub-01_desc-LABEL_T1w
    (an existing desc- replaced; a name without entities gets _desc-LABEL)."""
    if not desc.isalnum():
        raise ValueError(f"desc {desc!r}: a BIDS label is letters and digits only")
    parts = stem.split("_")
    parts = [p for p in parts if not p.startswith("desc-")]
    if len(parts) > 1 and "-" not in parts[-1]:  # the last part is the BIDS suffix
        return "_".join(parts[:-1] + [f"desc-{desc}", parts[-1]])
    return "_".join(parts + [f"desc-{desc}"])


def output_path(input, out_dir, suffix="", desc=None):
    """The output of ``input`` in ``out_dir``: its stem, the BIDS ``desc``
    entity if given, then ``suffix``; refused when the name would leave
    ``out_dir``."""
    _check_name_part("suffix", suffix)
    name = os.path.basename(input)
    ending = ".nii.gz" if name.endswith((".nii.gz", ".hdr.gz", ".img.gz")) else ".nii"
    stem = nifti_stem(name)
    if desc:
        stem = _with_desc(stem, desc)
    name = stem + suffix + ending
    if name in (".", "..") or name.startswith(".."):
        raise ValueError(f"output name {name!r} would leave --out-dir")
    return os.path.join(out_dir, name)


def report_path(output):
    """The QC page beside an output: its stem with .html."""
    folder, name = os.path.split(output)
    return os.path.join(folder, nifti_stem(name) + ".html")


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
        worker = get_worker()
        state = getattr(worker, "state", worker)  # where newer releases keep it
        slots = max(1, state.nthreads)
    except (ImportError, ValueError):
        slots = 1
    return max(1, _core.threads({}) // slots)


def _file_task(request, threads, force):
    # The notes come back in the row (the driver tells them), not as
    # warnings in the worker's log.
    row = run_request(request, threads=_task_threads(threads), force=force, warn=False)
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
    """One volume denoised, and what the engine noted on it."""
    from . import denoise
    sigma = loaded["levels"][t]
    options = {keyword(name): value for name, value in request.given.items()
               if name not in ("sigma", "sigma_scope", "threads")
               and not about_files(DECLARATIONS[name])}
    volume, info = denoise(loaded["series"][..., t], sigma, threads=_task_threads(threads),
                           return_info=True, **options)
    return volume, info["notes"]


def _write_series_task(request, loaded, force, *volumes):
    """The volumes put back in order, and the image, its QC page and its
    sidecar committed as one output set, as a file run commits them: with
    the same checks (again here: the folders may have changed since the
    batch began), force rule, backups and flushes; all or none."""
    import numpy as np
    data = np.stack([v for v, _ in volumes], axis=-1).reshape(loaded["shape"], order="F")
    source = "estimated" if request.sigma is None else "given"
    # The volumes' runs note the same things: each note once, as one run of
    # the series would.
    told = list(dict.fromkeys(note for _, notes in volumes for note in notes))
    written = _write_assembled(request, force, data, loaded["levels"], loaded["pooled"], source,
                               loaded["started"], told=told)
    return {"output": request.output, "sidecar": written["sidecar"], "sigma": loaded["levels"],
            "notes": written["notes"], "seconds": time.time() - loaded["started"],
            "skipped": False, "worker": _worker_name() + f" (+{len(volumes)} volume tasks)"}


def _write_assembled(request, force, data, levels, pooled, source, started, mask=None, told=(),
                     read_notes=(), plan=None):
    """The image, its QC page and its sidecar committed as one output set,
    as a file run commits them: with the same checks (again here: the
    folders may have changed since the batch began), force rule, backups and
    flushes; all or none. ``told``: the engine's notes from the parts;
    ``read_notes``: those of the mask and level map files; ``plan``: the
    joint plan (the parameters the stages used and what the run tells after
    its work depend on it). Returns the sidecar's path and the file's notes
    (dict: sidecar, notes), as a file run gives them."""
    return _core.write_assembled(request.given, {
        "input": request.input, "output": request.output, "mask": request.mask,
        "sigma_map": request.sigma_map, "report": request.written["report"],
        "datatype": request.datatype, "force": force,
        "command_line": request.command_line(), "sources": request.sources,
        "metadata": request.metadata}, data, levels, pooled, source, time.time() - started, mask,
        list(told), list(read_notes), plan)


# A joint series in two tasks: the scratch file holds the series as float32
# twice over, the component images as prepared (the input's, which the
# residual step needs), then as filtered. The finishing task works on
# private copies of both, so that a task that runs again (its worker died)
# finds what it found the first time.

def _scratch(path, shape, region, mode):
    """Region 0 (prepared) or 1 (filtered) of the scratch file, mapped."""
    import numpy as np
    size = int(np.prod(shape[:4]))
    return np.memmap(path, dtype=np.float32, mode=mode, offset=region * size * 4,
                     shape=(size,))


def _with_threads(request, threads):
    return dict(request.given, **given_options({"threads": _task_threads(threads)}))


def _level_map(request, notes=None):
    """The given level map as the command reads and checks it (None when
    none is given); its notes added to ``notes``."""
    if request.sigma_map is None:
        return None
    levels, told = _core.read_level_map(request.sigma_map, request.input,
                                        _allow_affine(request))
    if notes is not None:
        notes.extend(told)
    return levels


def _allow_affine(request):
    return bool(request.given.get("allow_affine_mismatch", False))


def _prepare_joint_task(request, scratch, threads):
    """The plan, with the mask as the command reads it and the notes of
    the files read, in the command's order (the other tasks take the mask
    from here rather than reading it again; the level map, as large as the
    series, is read again by the task that finishes)."""
    started = time.time()
    series = _core.read_nifti(request.input)
    notes = []
    level_map = _level_map(request, notes)
    mask = None
    if request.mask is not None:
        mask, told = _core.read_mask(request.mask, request.input, _allow_affine(request))
        notes.extend(told)
    fd = os.open(scratch, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    try:
        os.ftruncate(fd, 2 * series.size * 4)
    finally:
        os.close(fd)
    prepared = _scratch(scratch, series.shape, 0, "r+")
    filtered = _scratch(scratch, series.shape, 1, "r+")
    plan = _core.joint_prepare(series, _with_threads(request, threads), mask, prepared, filtered,
                               level_map)
    prepared.flush()
    filtered.flush()
    del prepared, filtered
    return dict(plan, started=started, mask=mask, notes=notes)


def _finish_joint_task(request, plan, scratch, force):
    data = _core.read_nifti(request.input)
    prepared = _scratch(scratch, data.shape, 0, "c")
    filtered = _scratch(scratch, data.shape, 1, "c")
    out = _core.joint_finish(data, _with_threads(request, None), plan["mask"], plan, prepared,
                             filtered, _level_map(request))
    del prepared, filtered
    # The driver removes the scratch file: a task run again (its worker died
    # before its result was in) still finds it.
    written = _write_assembled(request, force, out.reshape(data.shape, order="F"),
                               plan["sigma"], plan["pooled"], plan["sigma_source"][0],
                               plan["started"], plan["mask"], told=plan["told"],
                               read_notes=plan["notes"], plan=plan)
    return {"output": request.output, "sidecar": written["sidecar"], "sigma": plan["sigma"],
            "notes": written["notes"], "seconds": time.time() - plan["started"],
            "skipped": False, "worker": _worker_name() + " (+1 task)"}


# ---- driver --------------------------------------------------------------------

def _requests(inputs, out_dir, suffix, desc, report, options):
    names = [output_path(path, out_dir, suffix, desc) for path in inputs]  # checks the names
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise ValueError(f"--out-dir '{out_dir}' is not a folder")
    os.makedirs(out_dir, exist_ok=True)
    requests, seen = [], {}
    every_input = [os.path.abspath(p) for p in inputs]
    for path, output in zip(inputs, names):
        request = Request(path, output, report=report_path(output) if report else None,
                          **options)
        if request.output in seen:
            raise ValueError(f"'{path}' and '{seen[request.output]}' would both be written "
                             f"to '{request.output}'; give them different names")
        seen[request.output] = path
        written = [request.output, sidecar_path(request.output)] + [
            f for f in request.written.values() if f]
        # Links resolved, device and inode: an --out-dir that is a link to
        # the inputs' folder must not make an output of any input.
        try:
            _core.check_paths(every_input + request.inputs(), written)
        except RuntimeError as error:
            raise ValueError(f"'{path}': {error}; choose another --out-dir or a --suffix") \
                from None
        requests.append(request)
    return requests


def _spreadable(request):
    """Whether the series may be spread. Files written beside the output
    (noise map, residual) are the file run's; so are, volume by volume, a
    mask, per-group estimation (whose matching level comes from the whole
    series) and a level map, given or estimated."""
    if request.written["noise_map"] or request.written["residual"] or request.is_complete():
        return False
    if _joint(request):
        return True
    return (request.mask is None and not _per_group(request) and request.sigma_map is None
            and request.engine["sigma_scope"] != "voxel")


def _joint(request):
    return request.engine["series"] == "joint"


def _submit(client, request, threads, force, spread):
    """The file's last task, and the scratch file its tasks use (or None)."""
    key = f"zarvo-{nifti_stem(request.input)}-{os.urandom(4).hex()}"
    volumes = 1
    if spread and _spreadable(request):
        import nibabel
        shape = nibabel.load(request.input).shape
        volumes = shape[3] if len(shape) > 3 else 1
    if volumes == 1:
        return client.submit(_file_task, request, threads, force, key="file-" + key,
                             pure=False), None
    # Refused before the work, as a file run refuses it (the set is checked
    # again when it is written).
    for path in (request.output, sidecar_path(request.output), request.written["report"]):
        if path and os.path.lexists(path) and not force:
            raise ValueError(f"'{path}' exists (use force to overwrite it)")
    if _joint(request):
        scratch = os.path.join(os.path.dirname(request.output),
                               f".zarvo-{nifti_stem(request.input)}-{os.urandom(6).hex()}.scratch")
        plan = client.submit(_prepare_joint_task, request, scratch, threads,
                             key="prepare-" + key, pure=False)
        return client.submit(_finish_joint_task, request, plan, scratch, force,
                             key="file-" + key, pure=False), scratch
    loaded = client.submit(_load_series_task, request, key="load-" + key, pure=False)
    parts = [client.submit(_volume_task, loaded, t, request, threads, key=f"volume{t}-{key}",
                           pure=False) for t in range(volumes)]
    return client.submit(_write_series_task, request, loaded, force, *parts, key="file-" + key,
                         pure=False), None


def _remove_scratch(path):
    """A spread joint series' scratch file, once its file is written or has
    failed."""
    if path:
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def _format_row(row):
    """The level and seconds columns of a finished row."""
    levels = row.get("sigma") or []
    level = f"{levels[0]:.6g}" if len(levels) == 1 else (
        f"{min(levels):.6g}..{max(levels):.6g}" if levels else "-")
    seconds = "skipped" if row.get("skipped") else f"{row['seconds']:.1f}"
    return level, seconds


class _Table:
    """One aligned line per file as it finishes (the header first); the
    errors follow the table, each in full."""

    headers = ("file", "level", "seconds", "worker")

    def __init__(self, requests, stream):
        self.stream = stream
        self.widths = [max([len("file")] + [len(os.path.basename(r.input)) for r in requests]),
                       17, 8]
        self.errors = []
        self.notes = []
        self._line(self.headers)

    def _line(self, values):
        cells = [str(v).ljust(w) for v, w in zip(values, self.widths)] + [str(values[-1])]
        print("  ".join(cells).rstrip(), file=self.stream, flush=True)

    def row(self, row):
        name = os.path.basename(row["input"])
        if "error" in row:
            self.errors.append((name, row["error"]))
            self._line((name, "-", "failed", "-"))
        else:
            self._line((name, *_format_row(row), row.get("worker", "-")))
            self.notes += [(name, note) for note in row.get("notes") or []]

    def close(self):
        for name, message in self.notes + self.errors:
            print(f"zarvo.batch: {name}: {message}", file=self.stream, flush=True)


INDEX = "zarvo_reports.html"
_INDEX_MARK = "<!-- zarvo batch index -->"


def _write_index(rows, out_dir, force, inputs=()):
    """out_dir/zarvo_reports.html: a link to every file's report, its level
    and how it went, written through an output set (never over one of
    ``inputs``; the old index kept until the new one is flushed and in
    place). Returns its path, or None when a file of that name that zarvo
    did not write is kept (without force)."""
    import html
    path = os.path.join(out_dir, INDEX)
    replace = force
    if os.path.lexists(path) and not force:
        try:
            with open(path) as f:
                replace = _INDEX_MARK in f.read(4096)
        except (OSError, UnicodeDecodeError):
            replace = False
        if not replace:
            return None
    items = []
    for row in rows:
        name = html.escape(os.path.basename(row["input"]))
        if "error" in row:
            what = "failed: " + html.escape(row["error"])
        else:
            level, seconds = _format_row(row)
            what = f"level {html.escape(level)}, " + (
                "skipped (complete)" if seconds == "skipped" else f"{seconds} s")
        report = row.get("report")
        link = (f'<a href="{html.escape(os.path.relpath(report, out_dir))}">{name}</a>'
                if report and os.path.isfile(report) else name)
        items.append(f"<tr><td>{link}</td><td>{what}</td></tr>")
    text = ("<!DOCTYPE html>\n" + _INDEX_MARK + "\n<html><head><meta charset=\"utf-8\">"
            "<title>zarvo reports</title></head><body><h1>zarvo reports</h1>"
            "<table><tr><th>file</th><th>result</th></tr>\n" + "\n".join(items) +
            "\n</table></body></html>\n")
    _core.write_text(path, text, replace, list(inputs), "index of the reports")
    return path


def _check_workers(workers):
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int)
                                or workers < 1):
        raise ValueError(f"--workers: {workers!r} is not a number of worker processes "
                         "(1 or more)")


def run_batch(inputs, out_dir, client=None, *, scheduler=None, workers=None, threads=None,
              force=False, spread_volumes=False, suffix="", desc=None, report=True,
              stream=sys.stderr, requests=None, **options):
    """Like denoise_files; returns one row per input (input, output, sigma,
    seconds, skipped, worker, report, or error) in the order of the inputs.
    ``requests``: the files.Request of every input, made by the caller (the
    BIDS app names its outputs itself); then ``inputs`` is not used."""
    _check_workers(workers)
    from distributed import Client, LocalCluster, as_completed
    if requests is None:
        requests = _requests(inputs, out_dir, suffix, desc, report, options)
    own = []
    if client is None:
        if scheduler:
            client = Client(scheduler)
        else:
            import logging
            workers = workers or _core.threads({})
            # A failed file is told in the table: not in the workers' logs too.
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None, silence_logs=logging.ERROR)
            own.append(cluster)
            client = Client(cluster)
            threads = threads or max(1, _core.threads({}) // workers)
        own.insert(0, client)
    try:
        table = _Table(requests, stream) if stream else None
        futures = {}
        rows = [None] * len(requests)

        def finished(i, row):
            rows[i] = {"input": requests[i].input, "output": requests[i].output, **row}
            if "error" not in row and requests[i].written["report"] and \
                    os.path.isfile(requests[i].written["report"]):
                rows[i]["report"] = requests[i].written["report"]
            if table:
                table.row(rows[i])

        scratches = {}
        try:
            for i, request in enumerate(requests):
                try:
                    future, scratch = _submit(client, request, threads, force, spread_volumes)
                    futures[future] = i
                    scratches[future] = scratch
                except Exception as error:  # unreadable or unwritable: the others go on
                    finished(i, {"error": str(error)})
            for future in as_completed(list(futures)):
                try:
                    row = future.result()
                except Exception as error:  # the file failed; the others go on
                    row = {"error": str(error) or type(error).__name__}
                _remove_scratch(scratches.pop(future))
                finished(futures[future], row)
        finally:
            if scratches:  # interrupted: the files left stop before their scratch goes
                client.cancel(list(scratches))
                for scratch in scratches.values():
                    _remove_scratch(scratch)
        if table:
            table.close()
        if report:
            read = sorted({f for r in requests for f in r.inputs()})
            index = _write_index(rows, out_dir, force, read)
            if stream and index is None:
                print(f"zarvo.batch: '{os.path.join(out_dir, INDEX)}' exists and was not "
                      "written by zarvo: the index of the reports is not written (use --force)",
                      file=stream)
            elif stream:
                print(f"zarvo.batch: reports: {index}", file=stream)
        return rows
    finally:
        for thing in own:
            thing.close()


def denoise_files(inputs, out_dir, client=None, **options):
    """Denoises every input (NIfTI files) into ``out_dir`` under its own name
    and returns the output paths in the order of the inputs. Options:
    ``scheduler`` (an address; default: a local cluster of ``workers``
    processes, every core by default), ``threads`` (per task), ``force``,
    ``spread_volumes``, ``suffix`` (added to the output names), ``desc``
    (a BIDS ``desc-`` label put in the names: sub-01_desc-LABEL_T1w),
    ``report`` (a QC page beside every output and an index page
    zarvo_reports.html; default True), ``stream`` (the table of results;
    None for silence) and those of
    ``zarvo.files.denoise_file``. Raises BatchError after the others are
    done when some files fail."""
    rows = run_batch(inputs, out_dir, client, **options)
    failures = {r["input"]: r["error"] for r in rows if "error" in r}
    if failures:
        raise BatchError(failures)
    return [r["output"] for r in rows]


# ---- command line --------------------------------------------------------------

def _worker_count(text):
    try:
        value = int(text)
    except ValueError:
        value = None
    if value is None or value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of worker processes "
                                         "(1 or more)")
    return value


def _levels(text):
    """--sigma as the command takes it: one level, or one per volume
    separated by commas."""
    try:
        return [float(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a level or a comma-separated "
                                         "list of levels") from None


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m zarvo.batch",
        description="Denoise NIfTI files on Dask distributed, each as `zarvo denoise` does.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="noisy images (NIfTI-1/2: .nii, .nii.gz, .hdr/.img)")
    parser.add_argument("--out-dir", required=True,
                        help="folder for the outputs (made when missing)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=_worker_count,
                       help="worker processes of the local cluster (default: every core)")
    parser.add_argument("--threads", type=int, help="walk threads per task")
    parser.add_argument("--spread-volumes", action="store_true",
                        help="denoise the volumes of a 4-D series as separate tasks (with "
                             "--series joint: its two phases, not spread over workers)")
    parser.add_argument("--suffix", default="",
                        help="added to every output name (no folder separators)")
    parser.add_argument("--desc", metavar="LABEL",
                        help="BIDS naming: the desc- entity of every output "
                             "(sub-01_T1w -> sub-01_desc-LABEL_T1w)")
    parser.add_argument("--no-report", dest="report", action="store_false",
                        help="no QC page per file (default: OUTPUT's name with .html, and an "
                             f"index page {INDEX} in --out-dir)")
    parser.add_argument("--force", action="store_true",
                        help="overwrite existing outputs that zarvo did not write")
    parser.add_argument("--quiet", action="store_true",
                        help="no table and no warnings (the exit status tells)")
    parser.add_argument("--datatype", choices=DATATYPES,
                        help=f"output data type (default: {DEFAULT_DATATYPE})")
    add_engine_arguments(parser, ("whole", "real", "flag", "choice", "levels", "data"))
    return parser.parse_args(argv)


def add_engine_arguments(parser, kinds, files=True):
    """The engine's options (but threads, which is per task) as arguments,
    from its declaration; not given: its defaults. ``files``: also those
    about the mask's and map's files."""
    expert = parser.add_argument_group("expert options (override the profile)")
    for d in shown_in("python", kinds):
        if d["name"] == "threads" or (about_files(d) and not files):
            continue
        group = expert if d["expert"] else parser
        flag, dest = "--" + d["name"].replace("_", "-"), keyword(d["name"])
        text = f"{d['help']} [default: {d['default']}]"
        if d["kind"] == "flag":
            group.add_argument(flag, action=argparse.BooleanOptionalAction, dest=dest, help=text)
        elif d["kind"] == "data":
            group.add_argument(flag, dest=dest, metavar="FILE",
                               help=f"{d['help']} (a NIfTI file; the same for every input)")
        else:
            group.add_argument(flag, dest=dest, help=text, choices=d["choices"] or None,
                               metavar="LEVEL[,...]" if d["kind"] == "levels" else None,
                               type={"whole": int, "real": float,
                                     "levels": _levels}.get(d["kind"]))


def main(argv=None):
    args = vars(parse_args(argv))
    inputs, out_dir = args.pop("inputs"), args.pop("out_dir")
    quiet = args.pop("quiet")
    if quiet:
        import warnings
        warnings.simplefilter("ignore")
        os.environ["PYTHONWARNINGS"] = "ignore"  # the worker processes too
    try:
        rows = run_batch(inputs, out_dir, stream=None if quiet else sys.stderr, **args)
    except ValueError as error:
        print(f"zarvo.batch: error: {error}", file=sys.stderr)
        return 2
    return 1 if any("error" in r for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
