"""zarvo.denoise and zarvo.estimate_sigma on arrays: the command's bits, every
layout and type, series, the errors, and the GIL."""

import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import zarvo
from conftest import phantom, run_command, save


@pytest.mark.parametrize("shape, cli, kwargs", [
    ((28, 24, 12), [], {}),
    ((28, 24, 12), ["--noise", "rician", "--sigma", "6"], {"noise": "rician", "sigma": 6.0}),
    ((30, 26), ["--profile", "fast", "--cube", "5", "--lambda", "2.7", "--basic-only"],
     {"profile": "fast", "cube": 5, "lambda_": 2.7, "basic_only": True}),
    ((20, 18, 8, 3), ["--estimate", "group", "--soft", "--tau1", "12"],
     {"estimate": "group", "soft": True, "tau1": 12.0}),
    ((22, 20, 8, 2), ["--no-soft", "--synchronous", "--sigma-scope", "volume", "--series",
                      "volumes", "--threads", "1"],
     {"soft": False, "synchronous": True, "sigma_scope": "volume", "series": "volumes",
      "threads": 1}),
])
def test_same_bits_as_the_command(tmp_path, shape, cli, kwargs):
    noisy = phantom(shape, rician="rician" in cli)
    save(tmp_path / "in.nii", noisy)
    expected = run_command(tmp_path / "in.nii", tmp_path / "out.nii", "--datatype", "float64",
                           *cli).get_fdata()
    got = zarvo.denoise(noisy, **kwargs)
    assert got.dtype == np.float64 and got.shape == noisy.shape
    assert np.array_equal(got, expected)


def test_every_layout_and_type_gives_the_same_result():
    noisy = np.round(np.clip(phantom((24, 22, 10), seed=1), 0, None))
    reference = zarvo.denoise(np.asfortranarray(noisy), 5.0, threads=1)
    variants = {
        "C order": np.ascontiguousarray(noisy),
        "strided view": np.pad(noisy, 1)[1:-1, 1:-1, 1:-1],
        "reversed then reversed back": noisy[::-1, :, ::-1].copy()[::-1, :, ::-1],
        "transposed view": np.ascontiguousarray(noisy.transpose(2, 1, 0)).transpose(2, 1, 0),
        "float32": noisy.astype(np.float32),
        "big-endian float64": noisy.astype(">f8"),
        "int16": noisy.astype(np.int16),
        "uint16": noisy.astype(np.uint16),
        "list": noisy.tolist(),
    }
    for name, array in variants.items():
        got = zarvo.denoise(array, 5.0, threads=2)
        assert np.array_equal(got, reference), name


def test_series_levels_pooled_or_one_per_volume():
    noisy = phantom((20, 18, 8, 3), seed=2)
    levels = zarvo.estimate_sigma(noisy, sigma_scope="volume")
    assert levels.shape == (3,)
    for t in range(3):
        assert levels[t] == zarvo.estimate_sigma(noisy[..., t])
        assert 4.0 < levels[t] < 8.0  # the phantom's noise is 6
    out, info = zarvo.denoise(noisy, return_info=True, sigma_scope="volume")
    assert info["sigma"] == list(levels) and info["sigma_source"] == ["estimated"] * 3
    assert np.array_equal(info["noise_map"][..., 1], np.full(noisy.shape[:3], levels[1]))
    # By default one level from the series as a whole, nearer the truth than
    # the volumes' own, which count the phantom's fine structure as noise.
    pooled = zarvo.estimate_sigma(noisy)
    assert len(set(pooled)) == 1 and abs(pooled[0] - 6.0) < abs(np.median(levels) - 6.0)
    out, info = zarvo.denoise(noisy, return_info=True)
    assert info["sigma"] == list(pooled)
    assert np.array_equal(out[..., 2], zarvo.denoise(noisy[..., 2], pooled[0]))

    given = [4.0, 5.0, 7.0]
    out, info = zarvo.denoise(noisy, given, return_info=True)
    assert info["sigma"] == given and info["sigma_source"] == ["given"] * 3
    for t in range(3):
        assert np.array_equal(out[..., t], zarvo.denoise(noisy[..., t], given[t]))


def test_level_map_estimated_from_a_series_in_either_mode():
    # The phantom's noise is 6 everywhere; the map estimate_sigma gives is
    # the one denoise uses with sigma_scope voxel, as if given.
    noisy = phantom((24, 22, 10, 6), seed=3, rician=True)
    levels = zarvo.estimate_sigma(noisy, "rician", sigma_scope="voxel")
    assert levels.shape == noisy.shape[:3]
    assert np.all(np.abs(levels - 6.0) < 1.5)
    gaussian = zarvo.estimate_sigma(noisy, sigma_scope="voxel")  # a map of either model
    assert gaussian.shape == noisy.shape[:3] and not np.array_equal(gaussian, levels)
    for series in ("volumes", "joint"):
        out, info = zarvo.denoise(noisy, noise="rician", series=series, sigma_scope="voxel",
                                  basic_only=True, return_info=True)
        assert info["sigma_source"] == ["estimated map"] * 6
        assert np.array_equal(info["noise_map"][..., 4], levels)
        given = zarvo.denoise(noisy, noise="rician", series=series, sigma_map=levels,
                              basic_only=True)
        assert np.array_equal(out, given), series
    with pytest.raises(ValueError, match="2 or more volumes"):
        zarvo.estimate_sigma(noisy[..., 0], sigma_scope="voxel")


def test_mask_keeps_the_outside_and_filters_the_inside():
    noisy = phantom((24, 20, 10), seed=5)
    mask = np.zeros(noisy.shape, dtype=bool)
    mask[4:18, 3:15, 2:8] = True
    out = zarvo.denoise(noisy, 6.0, mask=mask)
    assert np.array_equal(out[~mask], noisy[~mask])
    assert np.all(out[mask] != noisy[mask])
    with pytest.raises(ValueError, match="spatial shape"):
        zarvo.denoise(noisy, 6.0, mask=mask[:10])


def test_info_reports_the_parameters_used():
    _, info = zarvo.denoise(phantom((20, 20, 3)), 5.0, depth=4, step=2, return_info=True)
    assert info["params"]["depth"] == 3  # limited to the slices
    assert info["params"]["step"] == 2
    assert info["params"] == {**zarvo.profile_params(step=2), "depth": 3}


@pytest.mark.parametrize("call, error, message", [
    (lambda v: zarvo.denoise(np.where(v > 150, np.nan, v)), ValueError, "NaN or infinite"),
    (lambda v: zarvo.denoise(np.stack([v[..., None]] * 2, axis=4)), ValueError,
     "has 5 dimensions"),
    (lambda v: zarvo.denoise(v[0, 0]), ValueError, "has 1 dimensions"),
    (lambda v: zarvo.denoise(v + 1j), ValueError, "complex"),
    (lambda v: zarvo.denoise(v > 0), ValueError, "bool"),
    (lambda v: zarvo.denoise(v, -2.0), ValueError, "must be a finite number > 0"),
    (lambda v: zarvo.denoise(v, [1.0, 2.0]), ValueError, "one noise level, or one per volume"),
    (lambda v: zarvo.denoise(v, "high"), TypeError, "sigma: 'high' is not a number"),
    (lambda v: zarvo.denoise(v, noise="poisson"), ValueError, "neither gaussian nor rician"),
    (lambda v: zarvo.denoise(v, profile="slow"), ValueError, "unknown profile"),
    (lambda v: zarvo.denoise(v, cube=0), ValueError, "cube"),
    (lambda v: zarvo.denoise(v, cube=4.5), ValueError, "not a whole number"),
    (lambda v: zarvo.denoise(v, estimate="slice"), ValueError, "neither group nor volume"),
    (lambda v: zarvo.denoise(v, radius=3), TypeError, "unknown option"),
    (lambda v: zarvo.denoise(v, mask=(v > 0)[1:]), ValueError, "spatial shape"),
    (lambda v: zarvo.estimate_sigma(np.where(v > 150, np.inf, v)), ValueError, "NaN or infinite"),
])
def test_bad_input_is_refused_with_a_message(call, error, message):
    with pytest.raises(error, match=message):
        call(phantom((16, 16, 6)))


@pytest.mark.parametrize("kwargs, error, message", [
    ({"search": 2 ** 30}, ValueError, "search: must be from 0 to 1024"),
    ({"search": 10 ** 20}, ValueError, "search: must be from 0 to 1024"),
    ({"group1": 0}, ValueError, "group1: must be from 1 to 1024"),
    ({"step": 1.5}, ValueError, "step: 1.5 is not a whole number"),
    ({"threads": 10 ** 20}, ValueError, "threads: must be from 0 to 4096"),
    ({"threads": -1}, ValueError, "threads: must be from 0 to 4096"),
    ({"threads": "all"}, TypeError, "threads: expected a number"),
    ({"soft": "yes"}, TypeError, "soft: expected True or False"),
    ({"noise": 1}, TypeError, "noise: expected one of gaussian, rician"),
    ({"series": "all"}, ValueError, "series: 'all' is neither volumes nor joint"),
    ({"alpha": float("nan")}, ValueError, "alpha: must be a number from"),
    ({"noise_map": True}, TypeError, "unknown option"),
    ({"mask": np.full((16, 16, 6), np.nan)}, ValueError, "mask: holds NaN"),
    ({"sigma_map": np.full((16, 16, 6), 5.0)}, ValueError, "needs the Rician noise model"),
])
def test_every_option_is_bounded_where_it_is_declared(kwargs, error, message):
    with pytest.raises(error, match=message):
        zarvo.denoise(phantom((16, 16, 6)), **kwargs)


def test_flags_both_ways_and_the_level_map():
    noisy = phantom((20, 18, 6), rician=True)
    plain = zarvo.denoise(noisy, 5.0)
    assert np.array_equal(zarvo.denoise(noisy, 5.0, soft=False), plain)
    assert not np.array_equal(zarvo.denoise(noisy, 5.0, soft=True), plain)
    levels = np.full(noisy.shape, 5.0)
    levels[:10] = 4.0
    mapped, info = zarvo.denoise(noisy, noise="rician", sigma_map=levels, return_info=True)
    assert info["sigma_source"] == ["map"] and info["noise"] == "rician"
    assert not np.array_equal(mapped, zarvo.denoise(noisy, 5.0, noise="rician"))


def test_keywords_and_help_come_from_the_declaration():
    assert {"soft", "synchronous", "lambda_", "estimate"} <= set(zarvo.EXPERT_PARAMETERS)
    assert zarvo.EXPERT_PARAMETERS["soft"][0] is bool
    for name in ("series", "sigma_scope", "lambda_", "threads"):
        assert f"\n      {name}: " in zarvo.denoise.__doc__, name
    assert zarvo.profile_params()["search"] == zarvo.profile_params("default")["search"]
    assert zarvo.profile_params(noise="rician", estimate="group")["estimate"] == "group"


def test_threads_give_the_same_bits():
    noisy = phantom((26, 22, 10), seed=4)
    assert np.array_equal(zarvo.denoise(noisy, threads=1), zarvo.denoise(noisy, threads=2))


@pytest.fixture(scope="module")
def long_run():
    """A volume and how long one thread takes to denoise it: long beside the
    engine's look at signals every 0.1 s, so that an interrupt that waits for
    the end of the run stands out."""
    noisy = phantom((96, 96, 48), seed=5)
    started = time.monotonic()
    zarvo.denoise(noisy, 6.0, threads=1)
    return noisy, time.monotonic() - started


def test_the_gil_is_released_while_the_engine_runs(long_run):
    noisy, alone = long_run
    worker = threading.Thread(target=zarvo.denoise, args=(noisy, 6.0), kwargs={"threads": 1})
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.monotonic())
    worker.join()
    # With the GIL held this thread would stand still for the whole run.
    longest_gap = max(np.diff(ticks)) if len(ticks) > 1 else alone
    assert len(ticks) > 1000 and longest_gap < alone / 2, (len(ticks), longest_gap, alone)


def test_ctrl_c_interrupts_a_run_in_the_main_thread(long_run):
    import os
    import signal
    noisy, alone = long_run
    delay = alone / 4
    timer = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        zarvo.denoise(noisy, 6.0, threads=1)
    # Without the engine looking at signals it would end only after the run.
    assert time.monotonic() - started < delay + alone / 3, alone


def test_ctrl_c_during_a_file_run_leaves_the_old_set_within_a_second(long_run, tmp_path):
    """Interrupts at points spread over a file run, the last ones while the
    output is encoded and committed: each ends within a second with the old
    set whole, or (too late to undo) returns with the whole new set and no
    interrupt left over; never a new set with KeyboardInterrupt."""
    import os
    import signal
    from zarvo.files import denoise_file
    from conftest import file_bytes
    noisy, _ = long_run
    source = save(tmp_path / "in.nii.gz", noisy, dtype=np.float32)
    new = tmp_path / "new.nii.gz"
    started = time.monotonic()
    denoise_file(source, new, sigma=6.0, threads=1)
    whole = time.monotonic() - started
    out, side = tmp_path / "out.nii.gz", tmp_path / "out.json"
    for fraction in (0.3, 0.8, 0.9, 0.94, 0.97, 0.99):
        out.write_bytes(b"old image")
        side.write_text("old sidecar")
        sent = []

        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(whole * fraction, interrupt)
        timer.start()
        returned = None
        try:
            try:
                denoise_file(source, out, sigma=6.0, threads=1, force=True)
                returned = time.monotonic()
                timer.join()
                time.sleep(0.3)  # an interrupt sent after the return lands here
            except KeyboardInterrupt:
                ended = time.monotonic()
                if returned is None:
                    assert sent and ended - sent[0] < 1.0, (fraction, ended - sent[0])
                    assert out.read_bytes() == b"old image", fraction
                    assert side.read_text() == "old sidecar", fraction
                else:
                    assert sent[0] > returned, fraction  # not a leftover of the run
        finally:
            timer.cancel()
        if returned is not None:
            assert file_bytes(out) == file_bytes(new), fraction
        assert sorted(os.listdir(tmp_path)) == ["in.nii.gz", "new.json", "new.nii.gz",
                                                "out.json", "out.nii.gz"], fraction


def test_threads_denoising_at_once_get_their_own_results():
    volumes = [phantom((30, 28, 12), seed=40 + i, rician=i % 2 == 1) for i in range(4)]
    options = [{"noise": "gaussian"}, {"noise": "rician", "sigma": 6.0}] * 2
    expected = [zarvo.denoise(v, **o) for v, o in zip(volumes, options)]
    results = [None] * 4

    def run(i):
        results[i] = zarvo.denoise(volumes[i], threads=1, **options[i])

    workers = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for got, want in zip(results, expected):
        assert np.array_equal(got, want)


def test_trailing_axes_of_one_are_kept_as_the_command_keeps_them():
    series = phantom((16, 14, 6, 2), seed=70)
    five = series[..., None]
    out = zarvo.denoise(five, 6.0)
    assert out.shape == five.shape
    assert np.array_equal(out[..., 0], zarvo.denoise(series, 6.0))
    with pytest.raises(ValueError, match="5 dimensions"):
        zarvo.denoise(np.concatenate([five, five], axis=4), 6.0)


def test_a_run_that_would_not_fit_in_memory_is_refused_naming_the_option():
    # In a child whose address space is limited to 300 MB beyond what it
    # holds: refused before the filtering, as the command refuses it.
    code = """
import resource, numpy as np, zarvo
volume = np.full((64, 64, 32), 100.0)
held = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (held + (300 << 20),) * 2)
try:
    zarvo.denoise(volume, 5.0, cube=32, depth=16, group1=1024, group2=1024, threads=1)
except ValueError as error:
    print(error)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout.startswith("group1: the run needs about"), done.stdout + done.stderr


def test_a_time_series_in_the_joint_mode_is_told_its_slow_signals_may_fade():
    # A drift growing along the rows makes the volumes vary slowly (a time
    # series); the same contrasts in shuffled order do not.
    rng = np.random.default_rng(3)
    x, y, _, t = np.meshgrid(np.arange(22), np.arange(18), np.arange(6), np.arange(10),
                             indexing="ij")
    clean = np.where(x > 11, 16.0, 10.0) * (1 - 0.05 * t) + 2 * np.sin(0.5 * y) + 8.0 * x / 22 * t / 10
    noisy = clean + 1.5 * rng.standard_normal(clean.shape)
    with pytest.warns(UserWarning, match="series mode 'volumes' keeps"):
        _, info = zarvo.denoise(noisy, 1.5, series="joint", return_info=True)
    assert len(info["notes"]) == 1 and "time series" in info["notes"][0]
    shuffled = noisy[..., [3, 8, 1, 6, 0, 9, 4, 2, 7, 5]]
    for volume, series in ((shuffled, "joint"), (noisy, "volumes")):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            _, info = zarvo.denoise(volume, 1.5, series=series, return_info=True)
        assert info["notes"] == [], series
