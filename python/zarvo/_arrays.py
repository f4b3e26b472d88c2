"""Arrays as the engine reads them: float32 or float64 in native byte order,
strides a whole number of elements; anything else is converted (a copy)."""

import numpy as np


def as_engine_array(volume):
    array = np.asarray(volume)
    kind = array.dtype.kind
    if kind == "c":
        raise ValueError("the volume holds complex data; denoise the magnitude (np.abs) or the real "
                         "and imaginary parts separately")
    if kind not in "fiu":
        raise ValueError(f"the volume holds {array.dtype} data; zarvo denoises real numbers "
                         "(float or integer arrays)")
    native = array.dtype.isnative and array.dtype in (np.float32, np.float64)
    aligned = all(s % array.itemsize == 0 for s in array.strides)
    if not (native and aligned):
        array = array.astype(np.float64)
    return array


def engine_call(function, *args):
    """Calls the binding; the engine words input problems as a predicate of
    the data ("has 5 dimensions", "holds 3 NaN ...", as the command prefixes
    them with the file): give them a subject."""
    try:
        return function(*args)
    except ValueError as error:
        text = str(error)
        if text.split(" ", 1)[0] in ("has", "holds", "is"):
            raise ValueError("the volume " + text) from None
        raise
