"""Hostile arguments (tests/fuzz_support.py) never crash, hang or escape as an
undocumented exception, in any function of ``_rust.__all__``."""

import os
import re
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzz_support  # noqa: E402

from nuvra import _rust  # noqa: E402

FUNCTIONS = list(_rust.__all__)

# (regular expression matched against a failure message, reason) of findings not
# fixed yet: a test whose every failure matches one is an xfail.
KNOWN_FAILURES = []


@pytest.fixture(scope="session")
def fuzz_results(request):
    jobs = [(item.callspec.params["name"], item.callspec.params["mode"]) for item in request.session.items
            if item.originalname == "test_hostile_arguments"]
    return fuzz_support.run_fuzz(jobs) if jobs else {}


def test_every_parameter_and_result_is_described():
    missing = [f"the result shape of {n} to RESULTS" for n in FUNCTIONS if n not in fuzz_support.RESULTS]
    missing += [f"the kind of parameter {p} of {n} to PARAM_KINDS (or OVERRIDES)" for n in FUNCTIONS
                for p, _ in fuzz_support.parameters(getattr(_rust, n))
                if p not in fuzz_support.PARAM_KINDS and (n, p) not in fuzz_support.OVERRIDES]
    assert not missing, "add to tests/fuzz_support.py:\n" + "\n".join(missing)


# main: corner and random hostile values; absurd: huge numbers answer in time or raise (not
# under the sanitizer: its allocator aborts on a failed allocation instead of throwing).
@pytest.mark.parametrize("mode", ["main"] + ["absurd"] * (not fuzz_support.sanitized()))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_hostile_arguments(name, mode, fuzz_results):
    res, failures = fuzz_results[(name, mode)], fuzz_results[(name, mode)]["failures"]
    report = "\n\n".join([f"{len(failures)} failing call(s) of {res['calls']}; outcomes {res['stats']}",
                          *failures[:12], "..." if len(failures) > 12 else ""])
    # the fuzz must reach the computation, not only the argument checks
    assert mode == "absurd" or res["stats"].get("returned", 0) > 0, report
    reasons = {next((r for pat, r in KNOWN_FAILURES if re.search(pat, f, re.S)), None) for f in failures}
    if None in reasons:
        pytest.fail(report, pytrace=False)
    if reasons:
        pytest.xfail("known: " + "; ".join(sorted(reasons)))


def _selftest(monkeypatch, fault):  # the workers' faults are switched on through the environment
    monkeypatch.setenv("NUVRA_FUZZ_TIMEOUT", "2")
    monkeypatch.setenv("NUVRA_FUZZ_SELFTEST", fault)
    return fuzz_support.run_fuzz([("mean", "main")], workers=1)[("mean", "main")]


def test_harness_detects_crashes_and_hangs(monkeypatch):
    """A crash and a hang in a worker become failures, and the function's other cases still run."""
    res = _selftest(monkeypatch, "1")
    crashes = [f for f in res["failures"] if "worker crashed" in f]
    hangs = [f for f in res["failures"] if "hang: no answer" in f]
    assert len(crashes) == 1 and "call: mean(" in crashes[0], crashes
    assert len(hangs) == 1 and "replay:" in hangs[0], hangs
    assert res["calls"] == fuzz_support.case_count("mean", "main")  # every case started once


@pytest.mark.skipif(not fuzz_support.sanitized(), reason="needs the sanitizer build")
def test_sanitizer_report_in_a_worker_is_a_failure(monkeypatch, tmp_path):
    # this report is on purpose: keep it out of the run's report folder
    opts = re.sub(r"(^|:)log_path=[^:]*", "", os.environ.get("ASAN_OPTIONS", ""))
    monkeypatch.setenv("ASAN_OPTIONS", f"{opts}:log_path={tmp_path / 'asan'}".lstrip(":"))
    crashes = [f for f in _selftest(monkeypatch, "overflow")["failures"] if "worker crashed" in f]
    assert len(crashes) == 1 and "heap-buffer-overflow" in crashes[0], crashes


def test_warnings_as_errors_change_no_outcome():
    """Under -W error every function ends as it does normally: no call emits a warning."""
    normal, detail, _ = fuzz_support.run_child("typical_child_main")
    assert normal is not None, detail
    strict, detail, _ = fuzz_support.run_child("typical_child_main", flags=("-W", "error"))
    assert strict is not None, detail
    changed = {n: (normal[n], strict[n]) for n in normal if normal[n] != strict[n]}
    assert not changed, "\n".join(f"{n}: {a} -> {b}" for n, (a, b) in changed.items())
