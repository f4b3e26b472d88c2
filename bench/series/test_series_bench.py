"""Checks of the series benchmark's generators and measures (run by hand:
`/usr/bin/python3 -m pytest bench/series`); a wrong truth or a wrong measure
would silently mislead every table."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import anatomy  # noqa: E402
import make_dwi  # noqa: E402
import make_fmri  # noqa: E402
import measure  # noqa: E402
import series_io  # noqa: E402


class TestScheme:
    @pytest.mark.parametrize("shells, volumes, b0s", [(1, 35, 5), (2, 66, 6)])
    def test_counts_and_unit_directions(self, shells, volumes, b0s):
        bvals, bvecs = make_dwi.scheme(shells)
        assert len(bvals) == volumes and np.sum(bvals == 0) == b0s
        for b in [1000, 2000][:shells]:
            assert np.sum(bvals == b) == 30
        norms = np.linalg.norm(bvecs[bvals > 0], axis=1)
        assert np.allclose(norms, 1.0, atol=1e-6)
        assert np.all(bvecs[bvals == 0] == 0)

    def test_directions_spread_over_the_half_sphere(self):
        g = make_dwi.directions(30, seed=11)
        c = np.abs(g @ g.T) - 2 * np.eye(30)  # axes: g and -g are the same
        closest = np.degrees(np.arccos(np.clip(c.max(axis=1), 0, 1)))
        assert closest.min() > 15  # random directions would cluster far closer

    def test_b0_volumes_are_spread_through_the_series(self):
        bvals, _ = make_dwi.scheme(1)
        at = np.flatnonzero(bvals == 0)
        assert at[0] == 0 and np.diff(at).min() >= 5


class TestSignal:
    def test_attenuation_along_and_across_the_fibre(self):
        d = np.array([[0.0, 0.0, 1.0]])
        along = make_dwi.stick_attenuation(1000, np.array([0, 0, 1.0]), d, 1.7e-3, 0.35e-3)
        across = make_dwi.stick_attenuation(1000, np.array([1.0, 0, 0]), d, 1.7e-3, 0.35e-3)
        assert along[0] == pytest.approx(np.exp(-1.7))
        assert across[0] == pytest.approx(np.exp(-0.35))

    def test_tensor_fit_of_a_simulated_fibre_recovers_fa_md_and_direction(self):
        bvals, bvecs = make_dwi.scheme(1)
        axis = np.array([0.6, 0.8, 0.0])
        s = np.array([1000 * make_dwi.stick_attenuation(b, g, axis[None], 1.7e-3, 0.35e-3)[0]
                      for b, g in zip(bvals, bvecs)])
        series = np.tile(s, (2, 2, 2, 1))
        maps = measure.tensor_maps(series, bvals, bvecs, np.ones((2, 2, 2), bool))
        l1, l2 = 1.7e-3, 0.35e-3
        md = (l1 + 2 * l2) / 3
        fa = np.sqrt(1.5 * ((l1 - md) ** 2 + 2 * (l2 - md) ** 2) / (l1 ** 2 + 2 * l2 ** 2))
        assert maps["fa"][0, 0, 0] == pytest.approx(fa, abs=1e-3)
        assert maps["md"][0, 0, 0] == pytest.approx(md, rel=1e-3)
        assert measure.angle_between(maps["v1"][0, 0, 0], axis) < 0.1

    def test_rician_floor_and_high_signal_mean(self):
        rng = np.random.default_rng(0)
        zero = series_io.rician(np.zeros(200000), 10.0, rng)
        assert zero.mean() == pytest.approx(10 * np.sqrt(np.pi / 2), rel=0.01)
        high = series_io.rician(np.full(200000, 1000.0), 10.0, rng)
        assert high.mean() == pytest.approx(1000.05, abs=0.1)
        assert high.std() == pytest.approx(10, rel=0.02)

    def test_level_map_applies_to_every_volume(self):
        rng = np.random.default_rng(1)
        level = np.ones((4, 4, 4))
        level[0] = 0.0
        out = series_io.rician(np.full((4, 4, 4, 3), 5.0), level, rng)
        assert np.all(out[0] == 5.0) and np.all(out[1:] != 5.0)

    def test_level_map_range(self):
        m = series_io.smooth_level_map((20, 22, 10), 0.6, 1.6)
        assert m.min() == pytest.approx(0.6) and m.max() == pytest.approx(1.6)


class TestGrid:
    def test_radiological_storage_flips_x_only(self):
        g = anatomy.Grid((10, 10, 10), (2.0, 2.0, 3.0))
        assert np.allclose(g.world_to_voxel_axes((1, 0, 0)), (-1, 0, 0))
        assert np.allclose(g.world_to_voxel_axes((0, 1, 1)), (0, 1, 1) / np.sqrt(2))

    def test_right_left_twins_mirror_x(self):
        assert anatomy.PROJECTION[8] == (-anatomy.PROJECTION[7][0],) + anatomy.PROJECTION[7][1:]
        assert 6 in anatomy.PROJECTION and 5 not in anatomy.PROJECTION

    def test_partial_volume_fractions_sum_to_one_inside(self):
        t1 = np.array([0.0, 20, 35, 60, 85, 100, 115, 130])
        csf, grey, white = anatomy.tissue_fractions_1mm(t1)
        total = csf + grey + white
        assert total[0] == 0 and np.allclose(total[1:], 1)
        assert (csf[3], grey[3]) == (0.5, 0.5) and (grey[5], white[5]) == (0.5, 0.5)


class TestMeasures:
    def test_angle_ignores_the_sign_of_an_axis(self):
        u = np.array([1.0, 0, 0])
        assert measure.angle_between(u, -u) == pytest.approx(0)
        assert measure.angle_between(u, np.array([0, 1.0, 0])) == pytest.approx(90)

    def test_residual_of_blurring_correlates_negatively_with_the_laplacian(self):
        from scipy import ndimage
        rng = np.random.default_rng(3)
        clean = ndimage.gaussian_filter(rng.standard_normal((24, 24, 24)), 2)[..., None] * 100
        noise = rng.standard_normal(clean.shape)
        noisy = clean + noise
        mask = np.ones(clean.shape[:3], bool)
        blurred = ndimage.gaussian_filter(noisy, (1.5, 1.5, 1.5, 0))
        r_blur = measure.residual_anatomy(noisy, blurred, clean, mask, (1, 1, 1))
        r_ideal = measure.residual_anatomy(noisy, clean, clean, mask, (1, 1, 1))
        assert r_blur < -0.3 and abs(r_ideal) < 0.05
        assert measure.residual_anatomy(noisy, noisy, clean, mask, (1, 1, 1)) is None

    def test_glm_recovers_amplitude_despite_drift(self):
        case = {"tr": 2.0, "block_volumes": 10}
        n = 120
        x = measure.design(case, n)
        t = np.arange(n)
        rng = np.random.default_rng(4)
        series = (500 + 0.05 * t + 8 * make_fmri.block_regressor(n, 2.0, 10)
                  + rng.standard_normal((50, 1, 1, n)))
        amp, base, tstat = measure.glm(series, np.ones((50, 1, 1), bool), x)
        assert np.mean(amp) == pytest.approx(8, abs=0.2)
        assert np.mean(base) == pytest.approx(500 + 0.05 * (n - 1) / 2, abs=0.5)
        assert np.mean(tstat) > 15
        null = measure.glm(500 + rng.standard_normal((400, 1, 1, n)), np.ones((400, 1, 1), bool), x)[2]
        assert abs(np.mean(null)) < 0.2 and np.mean(np.abs(null) > 3.1) < 0.02

    def test_block_regressor_starts_off_and_peaks_at_one(self):
        r = make_fmri.block_regressor(120, 2.0, 10)
        assert r.max() == pytest.approx(1) and np.all(r[:10] == 0)
        assert r[15:20].mean() > 0.8 and r[25:30].mean() < 0.2


def test_gradients_round_trip(tmp_path):
    bvals, bvecs = make_dwi.scheme(2)
    series_io.save_gradients(str(tmp_path / "g"), bvals, bvecs)
    b, g = series_io.load_gradients(str(tmp_path / "g"))
    assert np.array_equal(b, bvals) and np.allclose(g, bvecs, atol=1e-6)


@pytest.mark.skipif(not os.path.exists(os.path.join(anatomy.TEMPLATES, anatomy.T1_FILE)),
                    reason="mricron-data templates not installed")
def test_anatomy_has_brain_white_matter_and_crossings():
    a = anatomy.Anatomy(anatomy.Grid((48, 48, 25), (4.0, 4.0, 6.4)))
    total = a.csf + a.grey + a.white
    assert total.max() <= 1 + 1e-9 and a.mask.sum() > 5000
    white = a.white > 0.5
    assert np.allclose(np.linalg.norm(a.primary[white], axis=-1), 1, atol=1e-6)
    assert a.crossing.sum() > 0 and not np.any(a.crossing & ~white)
    # The brain fits in the field of view: nothing at the grid's faces.
    assert not (a.mask[0].any() or a.mask[-1].any() or a.mask[:, :, 0].any() or a.mask[:, :, -1].any())


class TestRunnerAndTables:
    def test_time_log_gives_wall_cpu_and_peak(self, tmp_path):
        import run
        log = tmp_path / "x.time"
        log.write_text("\tUser time (seconds): 10.50\n\tSystem time (seconds): 1.25\n"
                       "\tElapsed (wall clock) time (h:mm:ss or m:ss): 1:02:03.5\n"
                       "\tMaximum resident set size (kbytes): 2048\n\tExit status: 0\n")
        assert run.parse_time_log(str(log)) == (3723.5, 11.75, 2.0)

    def test_later_rows_replace_earlier_and_ratios_use_the_better_peer(self, tmp_path):
        import json
        import tables
        path = tmp_path / "r.jsonl"
        rows = [
            {"case": "dwi1-snr10", "method": "mppca", "dw_rmse": 30.0, "seconds": 100.0},
            {"case": "dwi1-snr10", "method": "dwidenoise", "dw_rmse": 40.0, "seconds": 20.0},
            {"case": "dwi1-snr10", "method": "zarvo", "dw_rmse": 99.0, "seconds": 10.0},
            {"case": "dwi1-snr10", "method": "zarvo", "dw_rmse": 24.0, "seconds": 10.0},
            {"case": "dwi1-snr10", "method": "zarvo x", "error": "exit 1: bad option"},
        ]
        path.write_text("".join(json.dumps(r) + "\n" for r in rows))
        text = tables.render(str(path), ["dwi1-snr10"])
        assert "99.0" not in text and "| zarvo | - | 24.0 |" in text
        assert "zarvo / better peer (of mppca, dwidenoise): DW 0.80x, time 0.50x" in text
        assert "| zarvo x | failed: exit 1: bad option |" in text
