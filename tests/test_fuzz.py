"""Hostile arguments never crash, hang or escape as an undocumented exception.

Every function in ``_rust.__all__`` (present and future) is called a few
hundred times with hostile arguments built from its parameter names (see
tests/fuzz_support.py).  The calls run in worker processes, so a segfault,
an abort or a hang is reported as a failure naming the function and the
arguments, and the other functions are still fuzzed.
"""

import os
import re
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzz_support  # noqa: E402

from nuvra import _rust  # noqa: E402

FUNCTIONS = list(_rust.__all__)

# Findings that are not fixed yet.  A test whose every failure matches one of
# these is an xfail (not strict): it passes again once the code is mended, and
# any other failure still fails it.  Remove an entry when its cause is fixed.
KNOWN_FAILURES = [
    # (regular expression matched against a failure message, short reason)
]
KNOWN_FINDINGS = {}        # function -> reason, for test_hostile_arguments
KNOWN_ABSURD_FINDINGS = {}  # function -> reason, for test_absurd_sizes


def _selected(request, test_name):
    """The function names of the fuzz tests that this session will actually run."""
    names = []
    for item in request.session.items:
        if item.originalname == test_name and hasattr(item, "callspec"):
            names.append(item.callspec.params["name"])
    return names


@pytest.fixture(scope="session")
def fuzz_results(request):
    jobs = [(n, "main") for n in _selected(request, "test_hostile_arguments")]
    if not fuzz_support.sanitized():
        jobs += [(n, "absurd") for n in _selected(request, "test_absurd_sizes")]
    return fuzz_support.run_fuzz(jobs) if jobs else {}


def test_every_parameter_has_a_kind():
    unknown = []
    for name in FUNCTIONS:
        for pname, _ in fuzz_support.parameters(getattr(_rust, name)):
            try:
                fuzz_support.kind_of(name, pname)
            except fuzz_support.UnknownParameter as e:
                unknown.append(str(e))
    assert not unknown, "\n".join(unknown)


def test_every_function_has_a_documented_result():
    missing = [n for n in FUNCTIONS if n not in fuzz_support.RESULTS]
    assert not missing, ("add the result shape of these functions to RESULTS in "
                         f"tests/fuzz_support.py: {missing}")


def _report(res):
    failures = res["failures"]
    head = f"{len(failures)} failing call(s); outcomes {res['stats']}\n"
    return head + "\n\n".join(failures[:12]) + ("\n..." if len(failures) > 12 else "")


def _check(res):
    failures = res["failures"]
    if failures:
        reasons = set()
        for f in failures:
            reason = next((r for pat, r in KNOWN_FAILURES if re.search(pat, f, re.S)), None)
            if reason is None:
                pytest.fail(_report(res), pytrace=False)
            reasons.add(reason)
        pytest.xfail("known: " + "; ".join(sorted(reasons)))


@pytest.mark.parametrize("name", fuzz_support.xfail_params(FUNCTIONS, KNOWN_FINDINGS))
def test_hostile_arguments(name, fuzz_results):
    res = fuzz_results[(name, "main")]
    # the fuzz must reach the computation, not only the argument checks
    assert res["stats"].get("returned", 0) > 0, _report(res)
    _check(res)


@pytest.mark.skipif(fuzz_support.sanitized(),
                    reason="the sanitizer allocator aborts on a failed allocation instead "
                           "of throwing std::bad_alloc, so MemoryError paths cannot run")
@pytest.mark.parametrize("name", fuzz_support.xfail_params(FUNCTIONS, KNOWN_ABSURD_FINDINGS))
def test_absurd_sizes(name, fuzz_results):
    """Huge sizes, counts and floats answer within the time bound or raise."""
    _check(fuzz_results[(name, "absurd")])


def test_harness_detects_crashes_and_hangs(monkeypatch):
    """The runner itself: a crash and a hang in a worker become failures, and
    the rest of the function's cases still run."""
    monkeypatch.setenv("NUVRA_FUZZ_TIMEOUT", "2")
    # workers are separate processes: the faults are switched on through the environment
    monkeypatch.setenv("NUVRA_FUZZ_SELFTEST", "1")
    res = fuzz_support.run_fuzz([("mean", "main")], workers=1)[("mean", "main")]
    crashes = [f for f in res["failures"] if "worker crashed" in f]
    hangs = [f for f in res["failures"] if "hang: no answer" in f]
    assert len(crashes) == 1 and "call: mean(" in crashes[0], crashes
    assert len(hangs) == 1 and "replay:" in hangs[0], hangs
    # every case was started once: the ones after the crash and the hang too
    assert res["calls"] == fuzz_support.case_count("mean", _rust.mean, "main")


def test_warnings_as_errors_change_no_outcome():
    """Under -W error every function ends as it does normally: no call emits a warning."""
    normal, detail, _ = fuzz_support.run_child("typical_child_main")
    assert normal is not None, detail
    strict, detail, _ = fuzz_support.run_child("typical_child_main", flags=("-W", "error"))
    assert strict is not None, detail
    changed = {n: (normal[n], strict[n]) for n in normal if normal[n] != strict[n]}
    assert not changed, "\n".join(f"{n}: {a} -> {b}" for n, (a, b) in changed.items())


@pytest.mark.skipif(not fuzz_support.sanitized(), reason="needs the sanitizer build")
def test_sanitizer_report_in_a_worker_is_a_failure(monkeypatch, tmp_path):
    # this report is on purpose: keep it out of the run's report folder
    opts = re.sub(r"(^|:)log_path=[^:]*", "", os.environ.get("ASAN_OPTIONS", ""))
    monkeypatch.setenv("ASAN_OPTIONS", f"{opts}:log_path={tmp_path / 'asan'}".lstrip(":"))
    monkeypatch.setenv("NUVRA_FUZZ_TIMEOUT", "2")
    monkeypatch.setenv("NUVRA_FUZZ_SELFTEST", "overflow")
    res = fuzz_support.run_fuzz([("mean", "main")], workers=1)[("mean", "main")]
    crashes = [f for f in res["failures"] if "worker crashed" in f]
    assert len(crashes) == 1 and "heap-buffer-overflow" in crashes[0], res["failures"]
