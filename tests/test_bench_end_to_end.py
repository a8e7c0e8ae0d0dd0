"""The end-to-end benchmark's clocks (bench/end_to_end.py): that they see
every kernel call of the library's steps, attribute time correctly and
leave the library as they found it. No timing is asserted."""
import json
import sys
import types
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import end_to_end  # noqa: E402
from quiltmap import _mvs, _pipeline, demo  # noqa: E402
from quiltmap.reconstruction import Settings, Stages, fill_holes, reconstruct  # noqa: E402


@pytest.mark.parametrize("intervals, within, expected", [
    ([], None, 0.0),
    ([(0, 1), (2, 3)], None, 2.0),  # apart
    ([(0, 2), (1, 3)], None, 3.0),  # overlapping
    ([(0, 4), (1, 2), (3, 3.5)], None, 4.0),  # nested
    ([(1, 2), (0, 1)], None, 2.0),  # touching, out of order
    ([(0, 2), (1, 3), (5, 6)], (1.5, 5.5), 2.0),  # clipped to a window
    ([(0, 1)], (2, 3), 0.0),  # outside the window
])
def test_covered_is_the_length_of_the_union(intervals, within, expected):
    assert end_to_end.covered(intervals, within) == pytest.approx(expected)


def fake_module():
    module = types.ModuleType("fake")
    module.double = lambda x: 2 * x
    module.fail = lambda: 1 / 0
    module.np = np  # a module attribute, as _mvs has
    module.Kind = int  # a class
    module._private = lambda: None
    module.constant = 3
    return module


def test_kernel_timer_wraps_the_functions_and_puts_them_back():
    module = fake_module()
    before = dict(vars(module))
    with end_to_end.KernelTimer({"fake": module}) as timer:
        assert module.double(21) == 42
        with pytest.raises(ZeroDivisionError):
            module.fail()
        assert module.np is np and module.Kind is int and module._private is before["_private"]
    assert [name for name, *_ in timer.calls] == ["fake.double", "fake.fail"]  # a failed call counts too
    assert all(start <= end and cpu >= system >= 0 for _, start, end, cpu, system in timer.calls)
    assert vars(module) == before


def test_kernel_timer_sees_every_kernel_call_of_a_reconstruction():
    """The timer finds the calls where the library looks its kernels up: the
    _mvs calls it counts are those reconstruct's own KernelClock counts, the
    _pipeline steps are seen, and each call lands in one stage."""
    survey = demo.photograph(size=48, seed=3)
    views, grid, z_range = demo.views_of(survey), survey.scene.grid, survey.scene.z_range
    modules = {"_mvs": _mvs, "_pipeline": _pipeline}
    originals = {name: getattr(_pipeline, name) for name in dir(_pipeline) if not name.startswith("_")}
    stage_methods = (Stages.run, Stages.single)
    with end_to_end.KernelTimer(modules) as timer, end_to_end.StageTimer() as stages:
        start = end_to_end.time.perf_counter()
        result = reconstruct(views, grid, z_range, Settings(labels=8))
        end = end_to_end.time.perf_counter()
    seen = end_to_end.profile(timer.calls, stages.intervals, start, end)
    # The clock counts _pipeline.sgm, its sgm into a reused volume, as sgm.
    clocked = {name.split(".")[1]: k["calls"] for name, k in seen["kernels"].items()
               if name.startswith("_mvs.") or name == "_pipeline.sgm"}
    assert clocked == {name: len(calls) for name, calls in result.kernel_times.items()}
    assert {"_pipeline.census_whole", "_pipeline.match_cost", "_pipeline.fill_holes",
            "_pipeline.visibility"} <= set(seen["kernels"])
    assert {name for name, *_ in stages.intervals} == set(result.stage_times)
    attributed = sum(sum(st["by_kernel"].values()) for st in seen["stages"].values())
    assert attributed == pytest.approx(seen["kernels_s"])
    assert 0 < seen["kernels_covered_s"] <= end - start
    assert {name: getattr(_pipeline, name) for name in originals} == originals
    assert (Stages.run, Stages.single) == stage_methods


def test_profile_attributes_calls_to_the_stage_they_start_in():
    calls = [("k.a", 1.0, 2.0, 0.5, 0.0), ("k.a", 1.5, 2.5, 0.5, 0.25), ("k.b", 4.0, 5.0, 1.0, 0.0),
             ("k.b", 0.0, 0.5, 0.25, 0.0)]
    seen = end_to_end.profile(calls, [("first", 1.0, 3.0), ("second", 3.5, 6.0)], 0.0, 10.0)
    assert seen["kernels_covered_s"] == pytest.approx(3.0)
    assert seen["kernels"]["k.a"] == {"calls": 2, "s": 2.0, "cpu_s": 1.0, "system_s": 0.25}
    first, second, outside = (seen["stages"][n] for n in ("first", "second", "(outside the stages)"))
    assert (first["s"], first["kernels_s"], first["by_kernel"]) == (2.0, 1.5, {"k.a": 2.0})
    assert (second["s"], second["kernels_s"], second["by_kernel"]) == (2.5, 1.0, {"k.b": 1.0})
    assert (outside["s"], outside["kernels_s"], outside["by_kernel"]) == (5.5, 0.5, {"k.b": 0.5})


def test_kernel_timer_around_a_step_records_its_kernel():
    z = np.arange(16, dtype=np.float32).reshape(4, 4)
    mask = np.ones((4, 4), bool)
    mask[1:3, 1:3] = False
    with end_to_end.KernelTimer({"_pipeline": _pipeline}) as timer:
        timed = fill_holes(z, mask)
    assert [name for name, *_ in timer.calls] == ["_pipeline.fill_holes"]
    np.testing.assert_array_equal(timed, fill_holes(z, mask))


def test_scaled_to_repeats_whole_cells():
    a = np.arange(6).reshape(2, 3)
    grown = end_to_end.scaled_to(a, 5)
    assert grown.shape == (5, 5) and grown.flags.c_contiguous
    np.testing.assert_array_equal(grown[:3, :3], np.zeros((3, 3)))  # each cell three times on both axes
    np.testing.assert_array_equal(grown[3:, 3:], np.full((2, 2), 4))


def saved(path, rows):
    path.write_text(json.dumps({"date": "d", "commit": "c", "rows": rows}))
    return path


def row(key, seconds, **extra):
    return dict(key=key, median_s=seconds, impl=key, **extra)


@pytest.mark.parametrize("before_s, after_s, share, fill_s, stereo_s, sgbm_s, met", [
    (64.0, 8.0, 0.70, 0.050, 0.10, 0.2, ["yes", "yes", "yes", "yes"]),
    (64.0, 8.1, 0.69, 0.051, 0.09, 0.2, ["**no**", "**no**", "**no**", "yes"]),
    (64.0, 4.0, 0.90, 0.010, 0.11, 0.2, ["yes", "yes", "yes", "**no**"]),  # over 0.10 s
    (64.0, 4.0, 0.90, 0.010, 0.09, 0.08, ["yes", "yes", "yes", "**no**"]),  # slower than SGBM
])
def test_compare_marks_the_targets(tmp_path, before_s, after_s, share, fill_s, stereo_s, sgbm_s, met):
    before = saved(tmp_path / "before.json", [row("reconstruction", before_s, modules=["_mvs"]),
                                              row("reconstruction kernels", 1.0, share=0.3)])
    after = saved(tmp_path / "after.json", [row("reconstruction", after_s, modules=["_mvs", "_pipeline"]),
                                            row("reconstruction kernels", 1.0, share=share),
                                            row("fill_holes blobs rings", fill_s),
                                            row("stereo ours", stereo_s), row("stereo sgbm default threads", sgbm_s)])
    lines = end_to_end.compare([before], [after]).splitlines()

    def verdict(starts):
        return next(line for line in lines if line.startswith(starts)).rstrip(" |").rsplit("| ", 1)[1]

    assert [verdict("| reconstruction, wall"), verdict("| reconstruction, share"),
            verdict("| fill_holes blobs rings"), verdict("| stereo,")] == met
    assert f"{before_s / after_s:.2f}x" in next(line for line in lines if line.startswith("| reconstruction, wall"))


def test_runs_merge_by_the_median_of_each_figure(tmp_path):
    runs = [saved(tmp_path / f"after{i}.json", [row("reconstruction", seconds, cpu_s=cpu), row("stereo ours", 0.1)])
            for i, (seconds, cpu) in enumerate(((7.0, 9.0), (20.0, 30.0), (8.0, 11.0)))]
    rows, dates = end_to_end.merged_rows(runs)
    assert (rows["reconstruction"]["median_s"], rows["reconstruction"]["cpu_s"]) == (8.0, 11.0)
    assert rows["stereo ours"]["merged"] == 3 and len(dates) == 3
    before = saved(tmp_path / "before.json", [row("reconstruction", 64.0)])
    assert "| 8.00x | at least 8x | yes |" in end_to_end.compare([before], runs)
