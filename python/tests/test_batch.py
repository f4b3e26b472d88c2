"""zarvo.batch on a real LocalCluster of two worker processes: the command's
bits, spread series, reruns, a killed worker, the command line."""

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import file_bytes, phantom, run_command, save

distributed = pytest.importorskip("distributed")
from zarvo import batch  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def command_outputs(inputs, folder, *options):
    folder.mkdir()
    out = {}
    for path in inputs:
        reference = batch.output_path(str(path), str(folder))
        run_command(path, reference, *options)
        out[os.path.basename(reference)] = file_bytes(reference)
    return out


def test_files_and_spread_series_are_the_commands_and_reruns_skip(tmp_path, client):
    inputs = [save(tmp_path / "a.nii.gz", phantom((24, 20, 10), seed=1, rician=True)),
              save(tmp_path / "b.nii", phantom((22, 22, 8, 4), seed=2, rician=True)),
              save(tmp_path / "c.nii.gz", phantom((26, 18, 9, 3), seed=3, rician=True),
                   dtype=np.int16)]
    expected = command_outputs(inputs, tmp_path / "command", "--noise", "rician", "--cube", "3")
    for spread in (False, True):
        out_dir = tmp_path / f"spread{spread}"
        out_dir.mkdir()
        outputs = batch.denoise_files(inputs, out_dir, client, noise="rician", cube=3,
                                      spread_volumes=spread, stream=None)
        assert [os.path.basename(p) for p in outputs] == list(expected)
        for path in outputs:
            assert file_bytes(path) == expected[os.path.basename(path)], (spread, path)

    stamps = {p: os.stat(p).st_mtime_ns for p in outputs}
    rows = batch.run_batch(inputs, out_dir, client, noise="rician", cube=3,
                           spread_volumes=True, stream=None)
    assert all(r["skipped"] for r in rows)
    assert stamps == {p: os.stat(p).st_mtime_ns for p in outputs}


def test_estimate_group_series_spread_as_the_command(tmp_path, client):
    source = save(tmp_path / "s.nii", phantom((20, 20, 8, 3), seed=4))
    expected = command_outputs([source], tmp_path / "command", "--estimate", "group")
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    [output] = batch.denoise_files([source], out_dir, client, estimate="group",
                                   spread_volumes=True, stream=None)
    assert file_bytes(output) == expected["s.nii"]


def test_a_killed_worker_loses_nothing(tmp_path, client):
    # Large enough that a task runs for seconds on one thread: the worker is
    # killed in the middle of it, not after it.
    inputs = [save(tmp_path / f"big{i}.nii", phantom((128, 128, 64), seed=10 + i))
              for i in range(2)]
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    rows = []
    run = threading.Thread(target=lambda: rows.extend(batch.run_batch(
        inputs, out_dir, client, threads=1, stream=None)))
    run.start()
    victim = None
    deadline = time.monotonic() + 60
    while victim is None and time.monotonic() < deadline:
        busy = [w for w, keys in client.processing().items()
                if any(str(k).startswith("file-") for k in keys)]
        if busy:
            time.sleep(0.3)  # into the engine's walk
            victim = busy[0]
        time.sleep(0.05)
    assert victim, "no task started"
    pid = client.run(os.getpid, workers=[victim])[victim]
    os.kill(pid, signal.SIGKILL)
    run.join(300)
    assert not run.is_alive()

    assert [r.get("error") for r in rows] == [None, None]
    assert victim not in [r["worker"] for r in rows]  # it ran again elsewhere
    expected = command_outputs(inputs, tmp_path / "command")
    for r in rows:
        assert file_bytes(r["output"]) == expected[os.path.basename(r["output"])]
    client.wait_for_workers(2, timeout=60)


def test_command_line_reports_failures_and_writes_the_rest(tmp_path, client):
    good = save(tmp_path / "good.nii", phantom((20, 20, 8), seed=5))
    bad = save(tmp_path / "bad.nii", np.full((8, 8, 8), np.nan))
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    done = subprocess.run(
        [sys.executable, "-m", "zarvo.batch", str(good), str(bad), str(tmp_path / "gone.nii"),
         "--out-dir", str(out_dir), "--scheduler", client.scheduler.address, "--sigma", "4",
         "--tau2", "15"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stderr
    table = done.stderr.splitlines()[-4:]
    assert table[0].split() == ["file", "level", "seconds", "worker"]
    assert table[1].startswith("good.nii") and "tcp://" in table[1]
    assert "NaN" in table[2] and "cannot be opened" in table[3]
    expected = command_outputs([good], tmp_path / "command", "--sigma", "4", "--tau2", "15")
    assert file_bytes(out_dir / "good.nii") == expected["good.nii"]
    assert sorted(os.listdir(out_dir)) == ["good.json", "good.nii"]


def test_colliding_names_are_refused_before_any_work(tmp_path, client):
    (tmp_path / "x").mkdir()
    (tmp_path / "out").mkdir()
    a = save(tmp_path / "s.nii", phantom((8, 8, 8)))
    b = save(tmp_path / "x" / "s.nii", phantom((8, 8, 8)))
    with pytest.raises(ValueError, match="would both be written"):
        batch.denoise_files([a, b], tmp_path / "out", client, stream=None)
    with pytest.raises(ValueError, match="would be the input"):
        batch.denoise_files([a], tmp_path, client, stream=None)
    assert os.listdir(tmp_path / "out") == []


def test_a_spread_series_never_overwrites_its_input_through_a_linked_folder(tmp_path, client):
    # The output folder is the input's under another name: the spread series
    # is written through the output set, which compares files by identity.
    series = save(tmp_path / "s.nii", phantom((20, 18, 8, 3), seed=6))
    before = file_bytes(series)
    os.symlink(tmp_path, tmp_path / "link")
    with pytest.raises(batch.BatchError) as failed:
        batch.denoise_files([series], tmp_path / "link", client, spread_volumes=True,
                            force=True, sigma=6.0, stream=None)
    assert "is the input file" in failed.value.failures[str(series)]
    assert file_bytes(series) == before
