"""The denoising options of every Python front end, from the engine's own
declaration of them (``_core.options()``: name, kind, range, help, default
and the front ends that show it). Here the Python types of the keyword
arguments are checked; the engine checks the values and keeps its defaults
for every option not given (``None`` means "not given")."""

import numbers

import numpy as np

from . import _core

DECLARATIONS = {d["name"]: d for d in _core.options()}
DATATYPES, DEFAULT_DATATYPE = (tuple(_core.datatypes()[0]), _core.datatypes()[1])
_TYPES = {"whole": int, "real": float, "flag": bool, "choice": str}


def keyword(name):
    """The Python keyword of an option (``lambda_`` for ``lambda``)."""
    return name + "_" if name == "lambda" else name


def option_name(key):
    return "lambda" if key == "lambda_" else key


def about_files(d):
    """Whether an option concerns files only (how a mask's or map's header
    is taken): Python shows it, the Octave function, which takes arrays
    only, does not."""
    return "python" in d["front_ends"] and "octave" not in d["front_ends"]


def shown_in(front_end, kinds=None):
    """The declarations a front end shows, in the engine's order."""
    return [d for d in DECLARATIONS.values()
            if front_end in d["front_ends"] and (kinds is None or d["kind"] in kinds)]


# The expert parameters by their keywords: keyword -> (type, meaning).
EXPERT_PARAMETERS = {keyword(d["name"]): (_TYPES[d["kind"]], d["help"])
                     for d in DECLARATIONS.values() if d["expert"]}
NOISE_MODELS = tuple(DECLARATIONS["noise"]["choices"])


def options_help(front_end="python"):
    """One line per option: the keyword, its meaning and its default."""
    lines = []
    for d in shown_in(front_end, ("whole", "real", "flag", "choice", "levels")):
        if front_end == "python" and about_files(d):
            continue  # the array function's help: zarvo.files lists them
        choices = " (" + ", ".join(d["choices"]) + ")" if d["choices"] else ""
        lines.append(f"{keyword(d['name'])}: {d['help']}{choices} [default: {d['default']}]")
    return "\n".join(lines)


def profile_names():
    """The parameter profiles built into the engine (the first is the default)."""
    return list(DECLARATIONS["profile"]["choices"])


def profile_params(profile=None, noise=None, **overrides):
    """The expert parameters of a profile (default: the engine's) with
    overrides applied, as the stages use them for ``noise``."""
    given = given_options(dict(overrides, profile=profile, noise=noise))
    resolved = _core.resolved(given)
    return {name: resolved[name] for name in
            (d["name"] for d in DECLARATIONS.values() if d["expert"])}


def _checked(key, d, value):
    kind = d["kind"]
    if kind in ("whole", "real"):
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
            raise TypeError(f"{key}: expected a number, got {value!r}")
        return int(value) if isinstance(value, numbers.Integral) else float(value)
    if kind == "flag":
        if not isinstance(value, (bool, np.bool_)) and value not in (0, 1):
            raise TypeError(f"{key}: expected True or False, got {value!r}")
        return bool(value)
    if kind == "choice":
        if not isinstance(value, str):
            raise TypeError(f"{key}: expected one of " + ", ".join(
                profile_names() if key == "profile" else d["choices"]) + f", got {value!r}")
        return value
    return sigma_list(value)


def given_options(options, front_end="python", files=False):
    """The options given (not None), by the engine's names, their Python
    types checked; raises TypeError naming an unknown option or a wrong type
    (or, unless for ``files``, an option about files only).
    The engine checks the values (ValueError naming the option)."""
    given = {}
    for key, value in options.items():
        d = DECLARATIONS.get(option_name(key))
        if d is None or front_end not in d["front_ends"] or d["kind"] in ("data", "output"):
            raise TypeError(f"unknown option(s): {key}")
        if about_files(d) and not files:
            raise TypeError(f"{key}: only for files (zarvo.files, zarvo.batch, zarvo.nipype); "
                            "an array has no affine")
        if value is not None:
            given[d["name"]] = _checked(key, d, value)
    return given


def sigma_list(sigma):
    """A number -> [it], a sequence -> one per volume."""
    if isinstance(sigma, (str, bytes)):
        raise TypeError(f"sigma: {sigma!r} is not a number")
    values = np.atleast_1d(np.asarray(sigma))
    if values.ndim != 1 or values.dtype.kind not in "fiu":
        raise TypeError("sigma: expected a number or a sequence of numbers (one per volume)")
    return [float(v) for v in values]


def mask_array(mask):
    """None, or the mask as bytes (nonzero inside), in the engine's layout."""
    if mask is None:
        return None
    m = np.asarray(mask)
    if m.dtype.kind not in "biuf":
        raise TypeError("mask: expected a real array (nonzero = inside)")
    if m.dtype.kind == "f" and not np.all(np.isfinite(m)):
        raise ValueError("mask: holds NaN or infinite values")
    return np.asfortranarray(m != 0, dtype=np.uint8)
