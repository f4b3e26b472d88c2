import os
import subprocess
from pathlib import Path

import distributed
import nibabel as nib
import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
os.environ.setdefault("NIPYPE_NO_ET", "1")  # no version check over the network


def zarvo_command():
    path = os.environ.get("ZARVO_BIN") or str(ROOT / "build" / "cli" / "zarvo")
    if not os.access(path, os.X_OK):
        pytest.skip(f"the zarvo command is not built ({path}; set ZARVO_BIN)")
    return path


def run_command(*args):
    """Runs `zarvo denoise ARGS --quiet`; returns the output's voxels as the
    file stores them, and its header."""
    subprocess.run([zarvo_command(), "denoise", *map(str, args), "--quiet"], check=True)
    return nib.load(str(args[1]))


def phantom(shape, seed=0, noise=6.0, rician=False):
    """A smooth blob with edges plus noise: enough structure for matching."""
    rng = np.random.default_rng(seed)
    axes = np.meshgrid(*[np.linspace(-1, 1, n) for n in shape[:3]], indexing="ij")
    radius = np.sqrt(sum(a * a for a in axes))
    clean = 100.0 * (radius < 0.7) + 40.0 * (radius < 0.35) + 20.0
    if len(shape) == 4:
        clean = clean[..., None] * np.linspace(1.0, 1.3, shape[3])
    if rician:
        return np.hypot(clean + rng.normal(0, noise, clean.shape), rng.normal(0, noise, clean.shape))
    return clean + rng.normal(0, noise, clean.shape)


def save(path, data, dtype=np.float64, affine=None):
    img = nib.Nifti1Image(data.astype(dtype), np.diag([1.5, 1.5, 2.0, 1.0]) if affine is None else affine)
    nib.save(img, str(path))
    return path


@pytest.fixture
def series_file(tmp_path):
    return save(tmp_path / "series.nii.gz", phantom((24, 20, 10, 3), seed=3))


def file_bytes(path):
    """The NIfTI bytes of a .nii or .nii.gz file."""
    import gzip
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def client():
    """A local Dask cluster of two worker processes, shared by a module's tests."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()
