"""The nipype interface in a workflow over several files (MultiProc)."""

import json
import os

import pytest

from conftest import file_bytes, phantom, run_command, save

pe = pytest.importorskip("nipype.pipeline.engine")
from zarvo.nipype import Denoise  # noqa: E402


def test_workflow_over_files_with_multiproc(tmp_path):
    inputs = [save(tmp_path / f"sub-{i}.nii.gz", phantom((22, 20, 8), seed=20 + i, rician=True))
              for i in range(3)]
    node = pe.Node(Denoise(noise="rician", profile="fast", step=2), name="denoise")
    node.iterables = ("in_file", [str(p) for p in inputs])
    flow = pe.Workflow(name="zarvo_flow", base_dir=str(tmp_path / "work"))
    flow.add_nodes([node])
    graph = flow.run(plugin="MultiProc", plugin_args={"n_procs": 2})

    results = {n.inputs.in_file: n.result.outputs for n in graph.nodes()}
    assert sorted(results) == sorted(map(str, inputs))
    for source, outputs in results.items():
        assert os.path.basename(outputs.out_file) == \
            os.path.basename(source).replace(".nii.gz", "_denoised.nii.gz")
        reference = tmp_path / ("command-" + os.path.basename(source))
        run_command(source, reference, "--noise", "rician", "--profile", "fast", "--step", "2")
        assert file_bytes(outputs.out_file) == file_bytes(reference)
        with open(outputs.sidecar) as f:
            assert json.load(f)["noise_model"] == "rician"


def test_given_output_name_and_level(tmp_path, monkeypatch):
    source = save(tmp_path / "in.nii", phantom((20, 18, 6), seed=30))
    monkeypatch.chdir(tmp_path)
    result = Denoise(in_file=str(source), out_file="clean.nii", sigma=5.0, threads=1).run()
    assert result.outputs.out_file == str(tmp_path / "clean.nii")
    run_command(source, tmp_path / "command.nii", "--sigma", "5")
    assert file_bytes(tmp_path / "clean.nii") == file_bytes(tmp_path / "command.nii")
    with open(result.outputs.sidecar) as f:
        assert json.load(f)["noise_sigma"] == [5.0]


def test_an_unrelated_existing_out_file_is_never_replaced(tmp_path, monkeypatch):
    import nibabel as nib
    import numpy as np
    source = save(tmp_path / "in.nii", phantom((16, 16, 6), seed=31))
    foreign = tmp_path / "clean.nii"
    nib.save(nib.Nifti1Image(np.zeros((4, 4, 4), np.float32), np.eye(4)), str(foreign))
    before = file_bytes(foreign)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception, match="exists"):
        Denoise(in_file=str(source), out_file=str(foreign), sigma=5.0).run()
    assert file_bytes(foreign) == before
    # Its own earlier result is replaced (a rerun of the node).
    Denoise(in_file=str(source), out_file="own.nii", sigma=5.0).run()
    Denoise(in_file=str(source), out_file="own.nii", sigma=6.0).run()
    with open(tmp_path / "own.json") as f:
        assert json.load(f)["noise_sigma"] == [6.0]


def test_noise_map_report_and_thread_count_for_multiproc(tmp_path, monkeypatch):
    source = save(tmp_path / "in.nii", phantom((18, 16, 6), seed=32))
    mask = save(tmp_path / "mask.nii", (phantom((18, 16, 6), seed=33) > 60).astype("uint8"),
                dtype="uint8")
    assert pe.Node(Denoise(num_threads=2), name="n").n_procs == 2
    assert pe.Node(Denoise(), name="m").n_procs == 1
    monkeypatch.chdir(tmp_path)
    result = Denoise(in_file=str(source), out_file="out.nii", mask=str(mask), noise_map=True,
                     report=True, num_threads=2, sigma=5.0).run()
    out = result.outputs
    assert out.noise_map == str(tmp_path / "out_noise.nii.gz")
    assert out.report == str(tmp_path / "out.html") and os.path.isfile(out.report)
    run_command(source, tmp_path / "command.nii", "--mask", mask, "--sigma", "5", "--noise-map",
                tmp_path / "command_map.nii.gz")
    assert file_bytes(out.out_file) == file_bytes(tmp_path / "command.nii")
    assert file_bytes(out.noise_map) == file_bytes(tmp_path / "command_map.nii.gz")


def test_threads_and_num_threads_are_one_value(tmp_path, monkeypatch):
    from zarvo import _core
    # The engine's name sets nipype's, which MultiProc reads.
    assert pe.Node(Denoise(threads=3), name="a").n_procs == 3
    node = pe.Node(Denoise(), name="b")
    node.inputs.threads = 2
    assert node.n_procs == 2 and node.inputs.num_threads == 2
    assert pe.Node(Denoise(threads=0), name="c").n_procs == _core.threads({})
    # Given both, in either order, they must agree.
    source = save(tmp_path / "in.nii", phantom((16, 14, 6), seed=34))
    monkeypatch.chdir(tmp_path)
    for inputs in ({"threads": 2, "num_threads": 3}, {"num_threads": 3, "threads": 2},
                   {"num_threads": 0}):
        with pytest.raises(ValueError, match="threads"):
            Denoise(in_file=str(source), out_file="no.nii", sigma=5.0, **inputs).run()
        assert not os.path.exists(tmp_path / "no.nii")
    late = Denoise(in_file=str(source), out_file="late.nii", sigma=5.0, threads=2)
    late.inputs.num_threads = 1
    with pytest.raises(ValueError, match="disagree"):
        late.run()
    with pytest.raises(ValueError, match="threads"):  # the engine's range
        Denoise(in_file=str(source), out_file="no.nii", sigma=5.0, threads=-2).run()
    agreed = Denoise(in_file=str(source), out_file="agreed.nii", sigma=5.0, threads=2,
                     num_threads=2).run()
    assert os.path.isfile(agreed.outputs.out_file)
    # A copy of the node's interface (as nipype makes them) still takes threads.
    import copy
    copied = copy.deepcopy(Denoise(in_file=str(source), out_file="copied.nii", sigma=5.0))
    copied.inputs.threads = 2
    copied.run()
    assert copied.inputs.num_threads == 2


def test_a_map_placed_elsewhere_is_taken_when_allowed(tmp_path, monkeypatch):
    import numpy as np
    source = save(tmp_path / "in.nii", phantom((16, 14, 6), seed=35, rician=True))
    moved = save(tmp_path / "map.nii", np.full((16, 14, 6), 5.0),
                 affine=np.diag([1.5, 1.5, 2.0, 1.0]) + np.eye(4, k=3) * 3)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception, match="lies elsewhere"):
        Denoise(in_file=str(source), out_file="no.nii", noise="rician", sigma_map=str(moved)).run()
    with pytest.warns(UserWarning, match="voxel for voxel"):
        result = Denoise(in_file=str(source), out_file="out.nii", noise="rician",
                         sigma_map=str(moved), allow_affine_mismatch=True).run()
    run_command(source, tmp_path / "command.nii", "--noise", "rician", "--sigma-map", moved,
                "--allow-affine-mismatch")
    assert file_bytes(result.outputs.out_file) == file_bytes(tmp_path / "command.nii")
