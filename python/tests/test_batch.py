"""zarvo.batch on a real LocalCluster of two worker processes: the command's
bits, spread series, reruns, a killed worker, the command line."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import file_bytes, phantom, run_command, save, zarvo_command

distributed = pytest.importorskip("distributed")
from zarvo import batch  # noqa: E402


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

        for path in outputs:  # the QC page, spread or not, with every volume's level
            page = open(path.replace(".nii.gz", ".html").replace(".nii", ".html")).read()
            assert "<img" in page and "rician" in page.lower(), (spread, path)

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


def test_a_level_map_keeps_the_series_in_one_task_as_the_command(tmp_path, client):
    # Spread volumes would each take one level: the map, estimated or given,
    # stays with the series.
    source = save(tmp_path / "s.nii", phantom((20, 20, 8, 5), seed=5, rician=True))
    levels = save(tmp_path / "levels.nii", np.full((20, 20, 8), 6.0))
    for name, options, cli in (
            ("estimated", {"sigma_scope": "voxel"}, ["--sigma-scope", "voxel"]),
            ("given", {"sigma_map": str(levels)}, ["--sigma-map", str(levels)])):
        expected = command_outputs([source], tmp_path / f"command-{name}", "--noise", "rician",
                                   *cli)
        out_dir = tmp_path / name
        out_dir.mkdir()
        [output] = batch.denoise_files([source], out_dir, client, noise="rician",
                                       spread_volumes=True, stream=None, **options)
        assert file_bytes(output) == expected["s.nii"], name


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
    lines = done.stderr.splitlines()
    table, errors = lines[:4], lines[4:6]
    assert table[0].split() == ["file", "level", "seconds", "worker"]
    rows = {line.split()[0]: line for line in table[1:]}
    assert "tcp://" in rows["good.nii"]
    assert rows["bad.nii"].split()[1:] == ["-", "failed", "-"]
    # Every column starts where its header does, whatever the error says.
    for column in ("level", "seconds", "worker"):
        start = table[0].index(column)
        assert all(line[start - 2:start] == "  " and line[start] != " " for line in table[1:])
    assert "NaN" in "".join(e for e in errors if "bad.nii" in e)
    assert "cannot be opened" in "".join(e for e in errors if "gone.nii" in e)
    assert max(map(len, table)) < 100
    expected = command_outputs([good], tmp_path / "command", "--sigma", "4", "--tau2", "15")
    assert file_bytes(out_dir / "good.nii") == expected["good.nii"]
    assert sorted(os.listdir(out_dir)) == ["good.html", "good.json", "good.nii",
                                           "zarvo_reports.html"]


def test_colliding_names_are_refused_before_any_work(tmp_path, client):
    (tmp_path / "x").mkdir()
    (tmp_path / "out").mkdir()
    a = save(tmp_path / "s.nii", phantom((8, 8, 8)))
    b = save(tmp_path / "x" / "s.nii", phantom((8, 8, 8)))
    with pytest.raises(ValueError, match="would both be written"):
        batch.denoise_files([a, b], tmp_path / "out", client, stream=None)
    with pytest.raises(ValueError, match="is the input"):
        batch.denoise_files([a], tmp_path, client, stream=None)
    assert os.listdir(tmp_path / "out") == []


def run_module(*args, timeout=300):
    return subprocess.run([sys.executable, "-m", "zarvo.batch", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def test_every_denoise_option_on_the_command_line_gives_the_commands_bits(tmp_path, client):
    source = save(tmp_path / "sub-01_dwi.nii.gz", phantom((20, 18, 8, 3), seed=40, rician=True))
    mask = save(tmp_path / "mask.nii", (phantom((20, 18, 8), seed=41) > 60).astype(np.uint8),
                dtype=np.uint8)
    level_map = save(tmp_path / "map.nii", np.full((20, 18, 8), 5.5))
    moved = save(tmp_path / "moved.nii", np.full((20, 18, 8), 5.5),
                 affine=np.diag([1.5, 1.5, 2.0, 1.0]) + np.eye(4, k=3) * 4)
    options = [("--noise", "rician", "--mask", mask, "--sigma", "5,6,7"),
               ("--sigma-scope", "volume", "--estimate", "volume", "--basic-only"),
               ("--noise", "rician", "--sigma-map", level_map),
               ("--noise", "rician", "--sigma-map", moved, "--allow-affine-mismatch")]
    for i, extra in enumerate(options):
        out_dir = tmp_path / f"out{i}" / "deeper"  # made by the batch
        done = run_module(source, "--out-dir", out_dir, "--scheduler", client.scheduler.address,
                          "--desc", "denoised", "--quiet", *extra)
        # --quiet silences zarvo; a loaded machine can still make Dask's client log a
        # heartbeat timeout while it closes, which is not ours to silence.
        assert done.returncode == 0 and "zarvo" not in done.stderr, done.stderr
        output = out_dir / "sub-01_desc-denoised_dwi.nii.gz"
        reference = tmp_path / f"command{i}.nii.gz"
        run_command(source, reference, *extra)
        assert file_bytes(output) == file_bytes(reference), extra
        assert (out_dir / "sub-01_desc-denoised_dwi.html").is_file()


def test_output_names_with_desc_and_suffix_stay_in_the_out_dir(tmp_path, client):
    assert batch.output_path("/d/sub-01_ses-2_T1w.nii.gz", "/o", desc="denoised") == \
        "/o/sub-01_ses-2_desc-denoised_T1w.nii.gz"
    assert batch.output_path("/d/sub-01_desc-raw_T1w.nii", "/o", desc="clean") == \
        "/o/sub-01_desc-clean_T1w.nii"
    assert batch.output_path("/d/scan.hdr", "/o", "_z", desc="clean") == "/o/scan_desc-clean_z.nii"
    for bad in ({"desc": "a-b"}, {"desc": "x/y"}, {"suffix": "/../x"}, {"suffix": "_a/b"}):
        with pytest.raises(ValueError):
            batch.output_path("/d/a.nii", "/o", **bad)
    # Through the batch: nothing written anywhere, even where the name would lead.
    source = save(tmp_path / "a.nii", phantom((8, 8, 8)))
    (tmp_path / "out" / "a").mkdir(parents=True)
    with pytest.raises(ValueError, match="out-dir"):
        batch.run_batch([source], tmp_path / "out", client, suffix="/../x", stream=None)
    assert not (tmp_path / "out" / "x.nii").exists()
    assert os.listdir(tmp_path / "out") == ["a"]


def test_spread_volumes_never_write_over_an_input_through_a_linked_out_dir(tmp_path, client):
    folder = tmp_path / "data"
    folder.mkdir()
    source = save(folder / "s.nii", phantom((16, 16, 6, 3), seed=42))
    other = save(folder / "t.nii", phantom((16, 16, 6), seed=43))
    before = file_bytes(source), file_bytes(other)
    link = tmp_path / "link"
    link.symlink_to(folder)
    for force in (False, True):
        with pytest.raises(ValueError, match="is the input"):
            batch.run_batch([source, other], link, client, spread_volumes=True, force=force,
                            stream=None)
    assert (file_bytes(source), file_bytes(other)) == before


def test_worker_counts_below_one_are_refused_at_once(tmp_path):
    source = save(tmp_path / "a.nii", phantom((8, 8, 8)))
    for count in ("-1", "0", "two"):
        done = run_module(source, "--out-dir", tmp_path / "out", "--workers", count, timeout=60)
        assert done.returncode == 2 and "--workers" in done.stderr, done.stderr
    for count in (-1, 0):
        with pytest.raises(ValueError, match="--workers"):
            batch.run_batch([source], tmp_path / "out", workers=count, stream=None)
    assert not (tmp_path / "out").exists()


def test_reruns_say_skipped_and_the_index_links_every_report(tmp_path, client):
    inputs = [save(tmp_path / f"{n}.nii", phantom((16, 16, 6), seed=44 + i))
              for i, n in enumerate("ab")]
    out_dir = tmp_path / "out"
    args = [*inputs, "--out-dir", out_dir, "--scheduler", client.scheduler.address, "--sigma", "5"]
    assert run_module(*args).returncode == 0
    index = (out_dir / "zarvo_reports.html").read_text()
    assert 'href="a.html"' in index and 'href="b.html"' in index
    assert "<img" in (out_dir / "a.html").read_text()
    again = run_module(*args)
    assert again.returncode == 0
    rows = again.stderr.splitlines()[1:3]
    assert [r.split()[2:4] for r in rows] == [["skipped", "tcp:" + r.split("tcp:")[1]]
                                              for r in rows]
    assert "FutureWarning" not in again.stderr
    # --no-report: no page, and a foreign index is never replaced.
    (tmp_path / "plain").mkdir()
    (tmp_path / "plain" / "zarvo_reports.html").write_text("mine")
    assert run_module(*args[:2], "--out-dir", tmp_path / "plain", "--scheduler",
                      client.scheduler.address, "--no-report").returncode == 0
    assert sorted(os.listdir(tmp_path / "plain")) == ["a.json", "a.nii", "b.json", "b.nii",
                                                      "zarvo_reports.html"]
    batch.run_batch(inputs, tmp_path / "plain", client, stream=None, sigma=[5.0])
    assert (tmp_path / "plain" / "zarvo_reports.html").read_text() == "mine"


def test_quiet_prints_nothing_even_when_a_file_fails(tmp_path):
    good = save(tmp_path / "good.nii", phantom((16, 16, 6), seed=46))
    bad = save(tmp_path / "bad.nii", np.full((8, 8, 8), np.nan))
    (tmp_path / "out").mkdir()
    done = run_module(good, bad, "--out-dir", tmp_path / "out", "--workers", "1", "--sigma", "5",
                      "--quiet")
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "")
    assert (tmp_path / "out" / "good.nii").is_file()


def test_a_series_with_a_level_map_spread_as_the_command(tmp_path, client):
    source = save(tmp_path / "s.nii", phantom((20, 20, 8, 3), seed=5, rician=True))
    levels = np.linspace(3.0, 9.0, 20 * 20 * 8).reshape((20, 20, 8))
    level_map = save(tmp_path / "map.nii", levels)
    expected = command_outputs([source], tmp_path / "command", "--noise", "rician",
                               "--sigma-map", level_map)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    [output] = batch.denoise_files([source], out_dir, client, noise="rician",
                                   sigma_map=str(level_map), spread_volumes=True, stream=None)
    assert file_bytes(output) == expected["s.nii"]


def _spread_parts(request):
    loaded = batch._load_series_task(request)
    return loaded, [batch._volume_task(loaded, t, request, 1)
                    for t in range(loaded["series"].shape[3])]


def _folder(path):
    return {name: file_bytes(path / name) for name in sorted(os.listdir(path))}


def test_a_spread_series_commits_image_page_and_sidecar_whole_or_not_at_all(tmp_path):
    from zarvo import _core
    from zarvo.files import recorded_sidecar
    source = save(tmp_path / "s.nii", phantom((16, 16, 6, 3), seed=47))
    out, fresh = tmp_path / "out", tmp_path / "fresh"
    out.mkdir()
    fresh.mkdir()
    [old] = batch._requests([source], str(out), "", None, True, {"sigma": [4.0]})
    loaded, volumes = _spread_parts(old)
    batch._write_series_task(old, loaded, False, *volumes)
    old_set = _folder(out)
    assert sorted(old_set) == ["s.html", "s.json", "s.nii"]
    assert recorded_sidecar(old.output) is not None
    # The new set, as written where nothing fails.
    [new] = batch._requests([source], str(out), "", None, True, {"sigma": [6.0]})
    loaded, volumes = _spread_parts(new)
    [elsewhere] = batch._requests([source], str(fresh), "", None, True, {"sigma": [6.0]})
    batch._write_series_task(elsewhere, loaded, False, *volumes)
    new_set = _folder(fresh)
    assert new_set["s.nii"] != old_set["s.nii"]

    # Without force nothing is replaced, even the sidecar alone.
    with pytest.raises(ValueError, match="exists"):
        batch._write_series_task(new, loaded, False, *volumes)
    assert _folder(out) == old_set

    faults = [(step, n) for step in ("create", "sync_file", "backup_link", "rename")
              for n in (1, 2, 3)] + [("sync_folder", 1), ("sync_folder", 2), ("lock", 1)]
    outcomes = set()
    for step, n in faults:
        _core._set_fault(step, n)
        try:
            batch._write_series_task(new, loaded, True, *volumes)
            outcome = "new"
        except ValueError:  # the set's refusal, naming the file and the step
            outcome = "old"
        finally:
            _core._set_fault(None)
        now = _folder(out)
        assert sorted(now) == ["s.html", "s.json", "s.nii"], (step, n, sorted(now))
        if outcome == "old":
            assert now == old_set, (step, n)
        else:
            # The page and sidecar name the folder they were written for.
            assert now["s.nii"] == new_set["s.nii"], (step, n)
            assert recorded_sidecar(new.output) is not None, (step, n)
            for name, data in old_set.items():
                (out / name).write_bytes(data)
        outcomes.add(outcome)
    assert outcomes == {"old", "new"}  # the faults both stopped and did not stop the set


def test_the_index_is_replaced_through_an_output_set(tmp_path):
    from zarvo import _core
    index = tmp_path / batch.INDEX
    rows = [{"input": str(tmp_path / "a.nii"), "sigma": [5.0], "seconds": 1.0}]
    assert batch._write_index(rows, str(tmp_path), False) == str(index)
    before = index.read_text()
    rows[0]["sigma"] = [7.0]
    _core._set_fault("rename", 1)
    try:
        with pytest.raises(ValueError, match="cannot put"):
            batch._write_index(rows, str(tmp_path), False)
    finally:
        _core._set_fault(None)
    assert os.listdir(tmp_path) == [batch.INDEX] and index.read_text() == before
    batch._write_index(rows, str(tmp_path), False)  # ours: replaced without force
    assert "level 7" in index.read_text()
    # An index that is an input of the batch is never written over.
    with pytest.raises(ValueError, match="is the input"):
        batch._write_index(rows, str(tmp_path), True, [str(index)])
    assert "level 7" in index.read_text()


def scratch_files(folder):
    return [name for name in os.listdir(folder) if name.endswith(".scratch")]


def test_joint_series_spread_over_component_tasks_is_the_commands(tmp_path, client):
    import json
    source = save(tmp_path / "s.nii.gz", phantom((24, 20, 9, 8), seed=50, rician=True))
    mask = save(tmp_path / "mask.nii", (phantom((24, 20, 9), seed=51) > 60).astype(np.uint8),
                dtype=np.uint8)
    # Given level maps that vary in space (and along the volumes).
    ramp = np.linspace(4.0, 8.0, 24)[:, None, None] * np.ones((24, 20, 9))
    level_map = save(tmp_path / "levels.nii", ramp)
    level_maps = save(tmp_path / "levels4.nii.gz",
                      ramp[..., None] * np.linspace(0.9, 1.2, 8), dtype=np.float32)
    cases = [({"series": "joint"}, ("--series", "joint")),
             ({"series": "joint", "noise": "rician", "mask": str(mask)},
              ("--series", "joint", "--noise", "rician", "--mask", mask)),
             ({"series": "joint", "sigma_scope": "voxel"},
              ("--series", "joint", "--sigma-scope", "voxel")),
             ({"series": "joint", "sigma_map": str(level_map)},
              ("--series", "joint", "--sigma-map", level_map)),
             ({"series": "joint", "noise": "rician", "mask": str(mask),
               "sigma_map": str(level_maps)},
              ("--series", "joint", "--noise", "rician", "--mask", mask, "--sigma-map",
               level_maps))]
    for i, (options, words) in enumerate(cases):
        out_dir = tmp_path / f"out{i}"
        reference = tmp_path / f"command{i}.nii.gz"
        run_command(source, reference, *words)
        [row] = batch.run_batch([source], out_dir, client, spread_volumes=True, stream=None,
                                **options)
        assert "(+1 task)" in row["worker"], row
        assert file_bytes(row["output"]) == file_bytes(reference), options
        assert scratch_files(out_dir) == []
        # The sidecar tells what the command's tells of the run.
        with open(row["sidecar"]) as f:
            spread = json.load(f)
        with open(str(reference).replace(".nii.gz", ".json")) as f:
            command = json.load(f)
        for field in set(spread) | set(command):
            if field not in ("command_line", "outputs", "seconds", "output"):
                assert spread.get(field) == command.get(field), (options, field)
        assert spread["series_mode"] == "joint"
        with open(row["report"]) as f:
            page = f.read()
        assert "<img" in page
        if "sigma_map" in options:  # listed on the page, as the command lists it
            assert options["sigma_map"] in page


def test_notes_of_files_placed_elsewhere_follow_the_table_spread_or_not(tmp_path, client):
    source = save(tmp_path / "s.nii", phantom((20, 18, 8, 6), seed=55))
    moved = np.diag([1.5, 1.5, 2.0, 1.0]) + np.eye(4, k=3) * 4
    mask = save(tmp_path / "mask.nii", (phantom((20, 18, 8), seed=56) > 60).astype(np.uint8),
                dtype=np.uint8, affine=moved)
    level_map = save(tmp_path / "map.nii", np.full((20, 18, 8), 6.0), affine=moved)
    for spread in ([], ["--spread-volumes"]):
        out_dir = tmp_path / f"out{len(spread)}"
        done = run_module(source, "--out-dir", out_dir, "--scheduler", client.scheduler.address,
                          "--series", "joint", "--mask", mask, "--sigma-map", level_map,
                          "--allow-affine-mismatch", *spread)
        assert done.returncode == 0, done.stderr
        assert ("(+1 task)" in done.stderr) == bool(spread), done.stderr
        notes = [line for line in done.stderr.splitlines() if "taken voxel for voxel" in line]
        # Each once, the level map's first as the command tells them.
        assert len(notes) == 2, done.stderr
        assert notes[0].startswith("zarvo.batch: s.nii: noise level map '"), notes
        assert notes[1].startswith("zarvo.batch: s.nii: mask '"), notes
        assert all("by up to 4 mm" in note for note in notes), notes
        quiet = run_module(source, "--out-dir", out_dir, "--scheduler", client.scheduler.address,
                           "--series", "joint", "--mask", mask, "--sigma-map", level_map,
                           "--allow-affine-mismatch", "--force", "--quiet", *spread)
        assert quiet.returncode == 0 and "voxel for voxel" not in quiet.stderr, quiet.stderr
    # Without the option both paths refuse the file, naming it.
    for spread in (False, True):
        [row] = batch.run_batch([source], tmp_path / f"refused{spread}", client,
                                spread_volumes=spread, series="joint", mask=str(mask),
                                stream=None)
        assert "mask" in row["error"] and "allow" in row["error"], row


def test_spread_joint_series_leaves_no_scratch_when_a_task_fails(tmp_path, client):
    source = save(tmp_path / "s.nii", phantom((20, 18, 8, 7), seed=52))
    nan = phantom((20, 18, 8, 7), seed=53)
    nan[3, 4, 5, 2] = np.nan
    bad = save(tmp_path / "bad.nii", nan)

    def broken(on):  # runs on every worker: the tasks that finish fail
        from zarvo import _core
        if on:
            _core.kept_finish = _core.joint_finish

            def fail(*args):
                raise ValueError("finishing task failed")
            _core.joint_finish = fail
        else:
            _core.joint_finish = _core.kept_finish

    out_dir = tmp_path / "out"
    client.run(broken, True)
    try:
        rows = batch.run_batch([source, bad], out_dir, client, spread_volumes=True,
                               series="joint", stream=None)
    finally:
        client.run(broken, False)
    assert "finishing task failed" in rows[0]["error"]
    assert "NaN" in rows[1]["error"]  # in the task that prepares
    assert sorted(os.listdir(out_dir)) == ["zarvo_reports.html"]
    # The same file again with sound workers: written, and no scratch left.
    [row] = batch.run_batch([source], out_dir, client, spread_volumes=True, series="joint",
                            stream=None)
    assert "error" not in row and scratch_files(out_dir) == []


def test_noise_map_and_residual_keep_a_spread_series_in_one_task(tmp_path, client):
    # The assembled output set holds image, page and sidecar only: a spread
    # series would report success without the noise map or the residual.
    source = save(tmp_path / "s.nii", phantom((20, 18, 8, 6), seed=54))
    for series in ("volumes", "joint"):
        out_dir = tmp_path / series
        noise_map, residual = tmp_path / f"{series}-map.nii", tmp_path / f"{series}-res.nii"
        [row] = batch.run_batch([source], out_dir, client, spread_volumes=True, series=series,
                                noise_map=str(noise_map), residual=str(residual), stream=None)
        assert "tasks" not in row["worker"], row
        assert noise_map.is_file() and residual.is_file(), series


def command_notes(source, output, *options):
    """The notes `zarvo denoise` prints about a file (its progress lines
    left out)."""
    done = subprocess.run([zarvo_command(), "denoise", str(source), str(output),
                           *map(str, options)], capture_output=True, text=True, check=True)
    return [line[len("zarvo: "):] for line in done.stderr.splitlines()
            if line.startswith("zarvo: ") and not line.startswith("zarvo: [")]


def test_the_batch_gives_the_commands_notes_spread_or_not(tmp_path, client):
    # Every note the command gives about a file at once: more threads asked
    # than the process may use, its .bval does not fit, its sidecar is not
    # JSON, it holds negative values under the Rician model, its level (for
    # the series, per volume, a map), a cube depth its 3 slices limit.
    data = phantom((40, 36, 3, 6), seed=60, rician=True)
    data[0, 0, 0, :] = -3.0
    source = save(tmp_path / "s.nii", data)
    (tmp_path / "s.bval").write_text("0 1000 1000\n")
    (tmp_path / "s.json").write_text("[1, 2]\n")
    runs = (({"series": "joint"}, ["--series", "joint"], "one for the whole series"),
            ({"sigma_scope": "volume"}, ["--sigma-scope", "volume"], "volume by volume (6"),
            ({"series": "joint", "sigma_scope": "voxel"}, ["--series", "joint", "--sigma-scope",
                                                          "voxel"], "level map estimated"))
    threads = len(os.sched_getaffinity(0)) + 1
    for i, (options, flags, level) in enumerate(runs):
        expected = command_notes(source, tmp_path / f"command{i}.nii", "--noise", "rician",
                                 "--threads", threads, *flags)
        for told in ("using", "not recorded in the sidecar", "is not a JSON object",
                     "negative values", "cube depth limited to 3", level):
            assert any(told in note for note in expected), (told, expected)
        for spread in (False, True):
            [row] = batch.run_batch([source], tmp_path / f"out{i}{spread}", client, noise="rician",
                                    threads=threads, spread_volumes=spread, stream=None, **options)
            assert "error" not in row, row
            assert ("(+" in row["worker"]) == spread, row  # spread over tasks, or not
            assert row["notes"] == expected, (options, spread)

    # A time series in the joint mode is told, after its work, that slow
    # signals may fade: in the same place by both.
    x, _, _, t = np.meshgrid(np.arange(22), np.arange(18), np.arange(6), np.arange(10),
                             indexing="ij")
    slow = np.where(x > 11, 16.0, 10.0) * (1 - 0.05 * t) + 8.0 * x / 22 * t / 10
    slow = save(tmp_path / "slow.nii", slow + 1.5 * np.random.default_rng(4).standard_normal(
        slow.shape))
    expected = command_notes(slow, tmp_path / "slow-command.nii", "--series", "joint")
    assert any("series mode 'volumes' keeps" in note for note in expected), expected
    [row] = batch.run_batch([slow], tmp_path / "slow", client, series="joint", stream=None)
    assert row["notes"] == expected

    # A .bval that fits is recorded in the sidecar of a spread series too.
    (tmp_path / "s.bval").write_text("0 1000 1000 2000 2000 0\n")
    run_command(source, tmp_path / "command.nii", "--noise", "rician")
    with open(tmp_path / "command.json") as f:
        command = json.load(f)["bval"]
    for options in ({"series": "joint"}, {}):
        [row] = batch.run_batch([source], tmp_path / f"bval{len(options)}", client,
                                noise="rician", spread_volumes=True, stream=None, **options)
        with open(row["sidecar"]) as f:
            assert json.load(f).get("bval") == command, options
