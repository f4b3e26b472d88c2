"""The BIDS app on Dask distributed: every image of the chosen participants
denoised into a BIDS derivative dataset, as ``zarvo bids`` does it, the files
spread over the workers as ``zarvo.batch`` spreads them.

    python3 -m zarvo.bids BIDS_DIR OUT_DIR participant --participant-label 01 02

It takes every option of ``zarvo bids``, and gives the same images for them.

Outputs: OUT_DIR/sub-X/[ses-Y/]TYPE/<source name with desc-LABEL>, each with
its sidecar (the source's metadata carried over, ``Sources`` as BIDS URIs)
and its QC page, OUT_DIR/dataset_description.json and an index of the pages.
Complete outputs are kept on a rerun; a file that fails does not stop the
others (the exit status is 1 then).
"""

import argparse
import os
import sys

from . import _core
from ._options import DATATYPES, DEFAULT_DATATYPE, given_options
from .batch import INDEX, add_engine_arguments, report_path, run_batch
from .files import Request, sidecar_path


def plan(bids_dir, out_dir, participants=(), datatypes=(), desc="denoised"):
    """The jobs of a BIDS dataset (dicts: subject, datatype, input, relative,
    output, source, metadata), as the command plans them."""
    try:
        return _core.bids_plan(str(bids_dir), str(out_dir), list(participants), list(datatypes),
                               desc)
    except RuntimeError as error:
        raise ValueError(str(error)) from None


class OptionError(ValueError):
    """An option's value the engine refuses (the message names the option)."""


def check_options(options):
    """Raises OptionError for an engine option's value, before anything is
    written."""
    try:
        _core.resolved(given_options({k: v for k, v in options.items() if k != "datatype"},
                                     files=True))
    except ValueError as error:
        raise OptionError(str(error)) from None


def run_bids(bids_dir, out_dir, client=None, *, participants=(), datatypes=(), desc="denoised",
             report=True, force=False, scheduler=None, workers=None, threads=None,
             stream=sys.stderr, **options):
    """Denoises the dataset's images into the derivative dataset ``out_dir``;
    returns one row per image, as zarvo.batch.run_batch does. Raises
    ValueError for a problem with the dataset as a whole."""
    check_options(options)
    jobs = plan(bids_dir, out_dir, participants, datatypes, desc)
    if not jobs:
        raise ValueError(f"no image to denoise in '{bids_dir}'")
    requests, every_input = [], [job["input"] for job in jobs]
    for job in jobs:
        os.makedirs(os.path.dirname(job["output"]), exist_ok=True)
        request = Request(job["input"], job["output"], sources=[job["source"]],
                          metadata=job["metadata"],
                          report=report_path(job["output"]) if report else None, **options)
        written = [request.output, sidecar_path(request.output)] + [
            f for f in request.written.values() if f]
        try:
            _core.check_paths(every_input + request.inputs(), written)
        except RuntimeError as error:
            raise ValueError(f"'{job['relative']}': {error}") from None
        requests.append(request)
    description = os.path.join(out_dir, "dataset_description.json")
    if force or not os.path.exists(description):
        _core.write_text(description, _core.bids_description(str(bids_dir), str(out_dir)),
                         force, every_input, "dataset description")
    return run_batch([r.input for r in requests], out_dir, client, requests=requests,
                     scheduler=scheduler, workers=workers, threads=threads, report=report,
                     force=force, stream=stream)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m zarvo.bids",
        description="Denoise the images of a BIDS dataset into a BIDS derivative dataset on "
                    "Dask distributed, as `zarvo bids` does.")
    parser.add_argument("bids_dir", help="the BIDS dataset (read only)")
    parser.add_argument("out_dir", help="the derivative dataset (made when missing)")
    parser.add_argument("analysis_level", choices=["participant"],
                        help="participant (zarvo has no group level)")
    parser.add_argument("--participant-label", nargs="+", default=[], dest="participants",
                        metavar="LABEL", help="participants, with or without sub- (default: all)")
    parser.add_argument("--datatype-filter", nargs="+", default=[], dest="datatypes",
                        metavar="TYPE", help="datatype folders (default: anat dwi func)")
    parser.add_argument("--desc", default="denoised", help="the outputs' desc- label")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int, help="worker processes of the local cluster")
    parser.add_argument("--no-report", dest="report", action="store_false",
                        help=f"no QC page per image (default: one, and an index {INDEX})")
    parser.add_argument("--force", action="store_true", help="denoise complete outputs again")
    parser.add_argument("--quiet", action="store_true", help="no table")
    parser.add_argument("--threads", type=int, help="walk threads per task")
    parser.add_argument("--datatype", choices=DATATYPES,
                        help=f"output data type (default: {DEFAULT_DATATYPE})")
    # Every engine option `zarvo bids` takes, from the same declaration; a
    # dataset's images come without masks or maps.
    add_engine_arguments(parser, ("whole", "real", "flag", "choice", "levels"), files=False)
    return parser.parse_args(argv)


def main(argv=None):
    args = vars(parse_args(argv))
    bids_dir, out_dir = args.pop("bids_dir"), args.pop("out_dir")
    args.pop("analysis_level")
    quiet = args.pop("quiet")
    options = {k: v for k, v in args.items() if v is not None}
    try:
        rows = run_bids(bids_dir, out_dir, stream=None if quiet else sys.stderr, **options)
    except ValueError as error:
        print(f"zarvo.bids: error: {error}", file=sys.stderr)
        # As the command: 2 for a usage error, 1 for a problem with the data.
        return 2 if isinstance(error, OptionError) or "--workers" in str(error) else 1
    return 1 if any("error" in r for r in rows) else 0


if __name__ == "__main__":
    sys.exit(main())
