"""pytest plugin (entry point pytest11): the `qxsdk` fixture, the `qxsdk` marker and the
`qxsdk_activate` ini setting.

Registering the plugin activates nothing and imports nothing heavy (no ctypes): only a
test that uses the fixture, or `qxsdk_activate = true`, activates the stand-in.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional

import pytest

if TYPE_CHECKING:
    from ._control import StandIn

HINT = (
    "c_sdk could not load libqxsdk.so. To run these tests against the qxsdk stand-in, set "
    "`qxsdk_activate = true` in the pytest configuration ([pytest] in pytest.ini, or "
    "[tool.pytest.ini_options] in pyproject.toml), or call qxsdk_standin.activate() before "
    "c_sdk is imported; to use the vendor's library, install it where the dynamic loader finds it."
)
_CALL_PASSED = pytest.StashKey[bool]()


def _missing_library(text: str) -> bool:
    return "libqxsdk.so" in text and "cannot open shared object file" in text


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addini(
        "qxsdk_activate",
        "activate the qxsdk stand-in when pytest starts, before conftest files and test "
        "modules are imported (so that they may import c_sdk)",
        type="bool",
        default=False,
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "qxsdk(allow_unused=False): options of the qxsdk fixture for this test; "
        "allow_unused=True lets scripted answers, queued events and the rest of a replayed recording go unused",
    )


@pytest.hookimpl(hookwrapper=True)
def pytest_load_initial_conftests(early_config: pytest.Config, parser: pytest.Parser, args: List[str]) -> Any:
    if early_config.getini("qxsdk_activate"):
        from ._loader import activate

        try:
            activate()
        except RuntimeError as error:
            raise pytest.UsageError(f"qxsdk_activate = true: {error}") from error
    outcome = yield
    # A conftest importing c_sdk without a library: pytest prints the cause's message.
    cause = getattr(outcome.excinfo[1], "cause", None) if outcome.excinfo else None
    if isinstance(cause, ImportError) and isinstance(cause.msg, str) and _missing_library(cause.msg):
        cause.msg = f"{cause.msg}\n{HINT}"


def pytest_collectreport(report: pytest.CollectReport) -> None:
    """A collection error caused by the missing library says how to fix it."""
    if not (report.failed and _missing_library(str(report.longrepr))):
        return
    longrepr = report.longrepr
    if isinstance(longrepr, str):
        report.longrepr = f"{longrepr}\n{HINT}"
    elif isinstance(getattr(longrepr, "longrepr", None), str):  # an import error's formatted text
        longrepr.longrepr = f"{longrepr.longrepr}\n{HINT}"  # type: ignore[union-attr]
    else:
        report.sections.append(("qxsdk", HINT))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Any:
    outcome = yield
    if call.when == "call":
        report = outcome.get_result()
        item.stash[_CALL_PASSED] = report.passed
        # A test that failed on its own shows where a replay it ran left the recording.
        divergence = _divergence(item) if report.failed else None
        if divergence:
            report.sections.append(("qxsdk replay", divergence))


def _divergence(item: pytest.Item) -> Optional[str]:
    """The divergence of the stand-in's replay, if the item uses the fixture and one happened."""
    loader = sys.modules.get(f"{__package__}._loader")
    standin = getattr(loader, "_active", None)
    if standin is None or "qxsdk" not in getattr(item, "fixturenames", ()):
        return None
    divergence: Optional[str] = standin.divergence()
    return divergence


def _options(request: pytest.FixtureRequest) -> Dict[str, Any]:
    marker = request.node.get_closest_marker("qxsdk")
    if marker is None:
        return {}
    unknown = sorted(set(marker.kwargs) - {"allow_unused"})
    if marker.args or unknown:
        raise TypeError(f"@pytest.mark.qxsdk takes only allow_unused=...; got {marker.args} {unknown}")
    return dict(marker.kwargs)


@pytest.fixture
def qxsdk(request: pytest.FixtureRequest) -> Iterator[StandIn]:
    """The activated stand-in, reset before and after the test; the c_sdk module's
    namespace is restored after it. The test fails when a replay it started diverged from
    its recording, and when something it scripted (a status, response, text or event) or
    the rest of a replayed recording was left unused, unless marked
    @pytest.mark.qxsdk(allow_unused=True)."""
    from ._isolation import ModuleState, leftovers
    from ._loader import activate

    options = _options(request)
    standin = activate()
    standin.reset()
    state = ModuleState()
    try:
        yield standin
        unused = leftovers(standin)
        divergence = standin.divergence()
    finally:
        standin.reset()
        state.restore()
    # A test that failed, was skipped or never ran has its own report: not failed again here.
    passed = request.node.stash.get(_CALL_PASSED, False)
    if divergence and passed:
        pytest.fail(
            f"{divergence}\n(a test that makes a replay diverge on purpose ends it with reset())", pytrace=False
        )
    if unused and not options.get("allow_unused") and passed:
        pytest.fail(
            "scripted for the stand-in, or recorded for its replay, and never used (mark the test "
            "@pytest.mark.qxsdk(allow_unused=True) if that is intended):\n" + "\n".join(unused),
            pytrace=False,
        )
