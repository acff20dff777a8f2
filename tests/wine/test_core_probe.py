"""The upload's Windows adaptors in a small probe program under Wine: the
embedded firmware image and the multimedia reply timer."""
import importlib.util

import pytest

from wineenv import ROOT, WIN_BUILD

PROBE = WIN_BUILD / "bin" / "core_probe.exe"
IMAGE_SIZE = 130048


def _expected_image():
    found = importlib.util.spec_from_file_location("make_test_image", ROOT / "tools" / "make_test_image.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module.test_image()


def _run_probe(wine, mode, timeout):
    code, out = wine.run(PROBE, mode, timeout=timeout)
    assert code == 0, out[-2000:]
    fields = {}
    for line in out.decode("ascii").splitlines():
        key, _, value = line.partition("=")
        fields.setdefault(key, []).append(value)
    return fields


@pytest.fixture(scope="module", autouse=True)
def _probe_is_built():
    assert PROBE.exists(), f"{PROBE} is missing: build the windows preset"


def test_the_loader_yields_exactly_the_embedded_image(wine):
    expected = _expected_image()
    assert len(expected) == IMAGE_SIZE
    assert (ROOT / "resources" / "test-firmware.bin").read_bytes() == expected

    f = _run_probe(wine, "image", timeout=120)
    assert f["error"] == ["0"]
    assert f["size"] == [str(IMAGE_SIZE)]
    assert bytes.fromhex(f["image"][0]) == expected
    # A read past the end gives 0 and leaves the position at the end.
    assert f["after_end"] == ["0"]
    assert f["position"] == [str(IMAGE_SIZE)]


def test_the_timer_ticks_about_once_a_second_and_never_after_stop(wine):
    f = _run_probe(wine, "timer-period", timeout=120)
    assert f["running"] == ["1"]
    assert f["running_after_stop"] == ["0"]
    ticks = [float(t) / 1000 for t in f.get("tick", [])]
    assert 2 <= len(ticks) <= 4, ticks
    assert 0.7 <= ticks[0] <= 1.5, ticks
    # The second start at 1.5 s kept the phase: a restart would leave a 1.5 s gap.
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    assert all(0.7 <= g <= 1.3 for g in gaps), gaps
    assert f["late_ticks"] == ["0"]


def test_stop_from_a_tick_and_stop_or_destruction_during_a_tick(wine):
    f = _run_probe(wine, "timer-stop", timeout=120)
    # A handler that stops its own timer returns, and is the last tick.
    assert f["self_stop_returned"] == ["1"]
    assert f["self_stop_ticks"] == ["1"]
    for way in ("stop", "destroy"):
        assert f[f"{way}_entered"] == ["1"], way
        assert f[f"{way}_waited"] == ["1"], way
        assert f[f"{way}_late_ticks"] == ["0"], way
