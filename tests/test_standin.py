"""The test double itself: how it is activated, what its journal keeps, and that its
simulated answers are right (a host author trusts them)."""

import ctypes
import functools
import importlib.util
import json
import os
import xml.etree.ElementTree as ElementTree
import re
import shutil
import subprocess
import sys
import textwrap
import threading

import pytest

import c_sdk
import qxsdk_standin
from conftest import ROOT
from qxsdk_standin import OUT, Call, Truncated

DEFAULT_NOW = 1767225600000
PACKAGE_PARENT = os.path.dirname(os.path.dirname(qxsdk_standin.__file__))
MODULE_DIR = os.path.dirname(c_sdk.__file__)


def run_clean(code, *, env_extra=None, cwd=None, args=None, host=True):
    """Runs Python `code` (or `args`) in a fresh interpreter that can import the installed
    module and stand-in, with no library path or preload inherited from this process;
    with host=False the repository's host package is not on the path either."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONPATH")}
    paths = [MODULE_DIR, PACKAGE_PARENT] + ([os.path.join(ROOT, "standin")] if host else [])
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(paths))
    # A sanitizer build runs with its runtime preloaded; keep exactly that, nothing else.
    preload = [p for p in os.environ.get("LD_PRELOAD", "").split() if "san" in os.path.basename(p)]
    env.update(env_extra or {})
    if preload:
        env["LD_PRELOAD"] = " ".join(preload + env.get("LD_PRELOAD", "").split())
    command = args or [sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(command, env=env, cwd=cwd, capture_output=True, text=True, timeout=300)


# ---------------------------------------------------------------- activation


def test_without_activation_the_module_does_not_load():
    done = run_clean("import c_sdk")
    assert done.returncode == 1
    assert "ImportError: libqxsdk.so: cannot open shared object file" in done.stderr


def test_activation_is_explicit_and_idempotent():
    done = run_clean("""
        import os, qxsdk_standin
        assert qxsdk_standin.loaded_library() is None      # importing loads nothing
        sdk = qxsdk_standin.activate()
        assert qxsdk_standin.activate() is sdk
        import c_sdk
        assert c_sdk.py_qxi_get_stop_error_code() == 0
        print(sdk.last().fn, os.path.samefile(qxsdk_standin.loaded_library(), qxsdk_standin.library_path()))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["qxi_get_stop_error_code", "True"]


def test_activation_after_another_library_loaded_names_it(tmp_path):
    # Any other file satisfying libqxsdk.so: here a copy of the stand-in in another folder.
    other = tmp_path / "libqxsdk.so"
    shutil.copy(qxsdk_standin.library_path(), other)
    done = run_clean("""
        import c_sdk, qxsdk_standin
        try:
            qxsdk_standin.activate()
        except RuntimeError as exc:
            print(exc)
    """, env_extra={"LD_LIBRARY_PATH": str(tmp_path)})
    assert done.returncode == 0, done.stderr
    assert str(other) in done.stdout and "already loaded" in done.stdout


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
def test_a_library_missing_one_function_fails_at_import(tmp_path):
    # A do-nothing library generated from the header, less one of its functions.
    sys.path.insert(0, os.path.join(ROOT, "bench", "nullsdk"))
    try:
        import build as nullsdk
    finally:
        sys.path.pop(0)
    source, count = nullsdk.generate()
    assert count == 187
    source, removed = re.subn(r"\nint qxi_get_dividends\(.*?\n}\n", "\n", source, flags=re.S)
    assert removed == 1
    (tmp_path / "lacking.cpp").write_text(source)
    subprocess.run(["g++", "-std=c++20", "-shared", "-fPIC", "-I", os.path.dirname(nullsdk.HEADER),
                    "-Wl,-soname,libqxsdk.so", "-o", str(tmp_path / "libqxsdk.so"), str(tmp_path / "lacking.cpp")],
                   check=True)
    done = run_clean("import c_sdk", env_extra={"LD_LIBRARY_PATH": str(tmp_path)})
    assert done.returncode == 1
    assert "ImportError" in done.stderr and "undefined symbol: qxi_get_dividends" in done.stderr


@pytest.mark.parametrize("preload", ["the file", "an absolute symlink", "a relative symlink"])
def test_preloading_the_standin_file_keeps_working(tmp_path, preload):
    # However the file was named when it was preloaded: activate() must know it as its own,
    # even after the process left the folder a relative name was given in.
    link = tmp_path / "renamed.so"
    link.symlink_to(qxsdk_standin.library_path())
    path = {"the file": qxsdk_standin.library_path(), "an absolute symlink": str(link),
            "a relative symlink": "./renamed.so"}[preload]
    done = run_clean("""
        import os, c_sdk, qxsdk_standin
        os.chdir("/")
        sdk = qxsdk_standin.activate()
        c_sdk.qxi_init()
        print(sdk.last())
    """, env_extra={"LD_PRELOAD": path}, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "Call(fn='qxi_init', args=())"


def test_installed_plugin_activates_nothing_by_itself(tmp_path):
    (tmp_path / "test_plain.py").write_text(textwrap.dedent("""
        import qxsdk_standin

        def test_nothing_loaded():
            assert qxsdk_standin.loaded_library() is None

        def test_fixture_activates(qxsdk):
            assert qxsdk.journal() == []
            assert qxsdk_standin.loaded_library() is not None
    """))
    done = run_clean(None, cwd=tmp_path, args=[sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                                "test_plain.py"])
    assert "2 passed" in done.stdout, done.stdout + done.stderr


def readme(*parts):
    with open(os.path.join(ROOT, *parts, "README.md")) as f:
        return f.read()


def test_readme_quick_start_runs(tmp_path):
    # Copied into an empty folder outside the repository, with only installed packages.
    files = load_tool("quick_start").write(str(tmp_path))
    assert sorted(files) == ["pytest.ini", "qx/__init__.py", "qx/constant.py", "qx/utils.py", "test_quick_start.py"]
    done = run_clean(None, cwd=tmp_path, host=False,
                     args=[sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider"])
    tests = len(re.findall(r"^def test_", files["test_quick_start.py"], re.M))
    assert done.returncode == 0 and f"{tests} passed" in done.stdout, done.stdout + done.stderr


HOST = {"qx/__init__.py": "", "qx/constant.py": "CSDK_OPERATE_SUCCESS = 0\n",
        "qx/utils.py": "import logging\nqxsdklogger = logging.getLogger('qxsdk')\n"}


@pytest.mark.parametrize("changes, code, message", [
    ({"qx/__init__.py": None, "qx/constant.py": None, "qx/utils.py": None}, "import c_sdk",
     "ModuleNotFoundError: No module named 'qx'"),
    ({"qx/constant.py": None}, "import c_sdk", "ModuleNotFoundError: No module named 'qx.constant'"),
    ({"qx/constant.py": "SUCCESS = 0\n"}, "import c_sdk", "ImportError: cannot import name CSDK_OPERATE_SUCCESS"),
    ({"qx/__init__.py": "from c_sdk import py_qxi_run\n"}, "import c_sdk",
     "ImportError: cannot import name 'py_qxi_run' from partially initialized module 'c_sdk' "
     "(most likely due to a circular import)"),
    ({"qx/utils.py": "qxsdklogger = object()\n"}, "import c_sdk; c_sdk.c_status_fail(1003)",
     "has no attribute 'debug'"),
])
def test_host_contract_failures_are_the_documented_ones(tmp_path, changes, code, message):
    # What the READMEs say fails, and how, is what a host project outside the repository sees.
    for name, text in {**HOST, **changes}.items():
        if text is not None:
            (tmp_path / name).parent.mkdir(exist_ok=True)
            (tmp_path / name).write_text(text)
    done = run_clean(f"import qxsdk_standin; qxsdk_standin.activate(); {code}", cwd=tmp_path, host=False)
    assert done.returncode == 1 and message in done.stderr.splitlines()[-1], done.stderr
    documented = message.split(": ", 1)[-1]
    assert all(documented in " ".join(readme(*where).split()) for where in [(), ("standin",)])


def test_fixture_is_the_activated_standin(qxsdk):
    assert qxsdk is qxsdk_standin.activate()
    assert os.path.samefile(qxsdk.path, qxsdk_standin.library_path())


# ---------------------------------------------------------------- naming library functions


def load_tool(name):
    spec = importlib.util.spec_from_file_location(name, os.path.join(ROOT, "tools", name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_catalog_is_what_the_header_and_tables_generate():
    committed = os.path.join(ROOT, "standin", "src", "qxsdk_standin", "_catalog.py")
    installed = os.path.join(os.path.dirname(qxsdk_standin.__file__), "_catalog.py")
    with open(committed) as f, open(installed) as g:
        text = f.read()
        assert load_tool("gen_catalog").generate() == text, "stale catalog: run python3 tools/gen_catalog.py"
        assert g.read() == text, "the installed stand-in's catalog is not the committed one"


def test_the_standin_carries_the_module_header():
    # Its copy lets the stand-in's source distribution build without the repository.
    with open(os.path.join(ROOT, "src", "c_sdk", "sdk", "qxsdk.h"), "rb") as f:
        header = f.read()
    with open(os.path.join(ROOT, "standin", "qxsdk", "include", "qxsdk.h"), "rb") as f:
        assert f.read() == header, "stale copy: cp src/c_sdk/sdk/qxsdk.h standin/qxsdk/include/"


def test_catalog_says_what_each_library_function_consumes(qxsdk):
    # Every function, scripted each kind of answer through the C interface and called once:
    # exactly the kinds the catalog lists are consumed.
    from qxsdk_standin._catalog import ANSWERS

    header = load_tool("gen_stubs").header_functions(load_tool("gen_stubs").ROOT)
    assert list(header) == list(ANSWERS)
    c_types = {"const char*": ctypes.c_char_p, "int": ctypes.c_int, "double": ctypes.c_double, "bool": ctypes.c_bool}
    out = ctypes.create_string_buffer(64)
    wrong = []
    for name, (result, params) in header.items():
        fn = qxsdk.lib[name]
        fn.argtypes = [c_types.get(p, ctypes.c_void_p) for p in params]
        fn.restype = ctypes.c_void_p
        args = [b"x" if p == "const char*" else ctypes.addressof(out) if p.endswith("*") else None
                if p == "qxi_event_callback" else 0 for p in params]
        for kind, script in [("status", (1,)), ("response", (b"x", 1)), ("text", (b"x",))]:
            qxsdk.reset()
            getattr(qxsdk.lib, "qxstub_push_" + kind)(name.encode(), *script)
            fn(*args)
            if (qxsdk.unconsumed() == 0) != (kind in ANSWERS[name]):
                wrong.append((name, kind))
    qxsdk.reset()
    assert wrong == []


def given_function(given):
    """A parameter naming a function: a name, or (after "=") an expression giving an object."""
    if not given.startswith("="):
        return given
    return eval(given[1:], {"c_sdk": c_sdk, "functools": functools})


@pytest.mark.parametrize("given, library", [
    ("qxi_get_dividends", "qxi_get_dividends"),
    ("py_qxi_get_dividends", "qxi_get_dividends"),
    ("py_qxi_place_order", "qxi_place_order_pb"),
    ("=c_sdk.py_qxi_get_dividends", "qxi_get_dividends"),
    ("=c_sdk.py_qxi_place_order", "qxi_place_order_pb"),  # decorated
    ("=c_sdk.py_qxi_set_data_callback", "qxi_set_event_callback_pb"),  # written by hand
    ("=c_sdk.qxi_strerror", "qxi_strerror"),  # direct objects, all named "wrap"
    ("=c_sdk.qxi_poll", "qxi_poll"),
    ("=c_sdk.adapt_to_python3(c_sdk.py_qxi_get_cash)", "qxi_get_cash_pb"),
    ("=functools.wraps(c_sdk.py_qxi_get_orders)(lambda *args: None)", "qxi_get_orders_pb"),
])
def test_functions_are_named_by_c_name_python_name_or_binding(qxsdk, given, library):
    from qxsdk_standin._catalog import ANSWERS

    fn = given_function(given)
    assert qxsdk.library_function(fn) == library
    kind = ANSWERS[library][0]
    getattr(qxsdk, "push_" + kind)(fn, 7 if kind == "status" else b"x")
    assert (qxsdk.unconsumed(library), qxsdk.unconsumed(fn), qxsdk.unused()) == (1, 1, {library: 1})
    qxsdk.reset()


@pytest.mark.parametrize("method, given, error, words", [
    ("push_response", "qxi_get_dividend", ValueError, ["'qxi_get_dividend' is neither", "nearest", "qxi_get_dividends"]),
    ("push_status", "py_qxi_get_dividend", ValueError, ["py_qxi_get_dividends, "]),
    ("calls", "qxi_get_dividend", ValueError, ["qxi_get_dividends, "]),
    ("push_text", "qxi_subscribe", ValueError, ["qxi_subscribe cannot give a text, it gives a status",
                                                "qxi_strerror"]),
    ("push_text", "=c_sdk.py_qxi_subscribe", ValueError, ["(called by py_qxi_subscribe) cannot give a text"]),
    ("push_response", "py_qxi_cancel_order", ValueError, ["qxi_cancel_orders_pb (called by py_qxi_cancel_order) "
                                                          "cannot give a response"]),
    ("push_status", "qxi_set_mfp", ValueError, ["gives no scripted answer"]),
    ("push_status", "c_status_ok", ValueError, ["'c_status_ok' is neither"]),
    ("push_status", "=len", TypeError, ["is not a function of the c_sdk module"]),
    ("push_status", "=c_sdk.ObjectLikeDict2", TypeError, ["is not a function of the c_sdk module"]),
])
def test_scripting_what_no_function_gives_raises_at_once(qxsdk, method, given, error, words):
    fn = given_function(given)
    args = {"push_status": (fn, 1), "push_response": (fn, b"x"), "push_text": (fn, b"x"), "calls": (fn,)}[method]
    with pytest.raises(error) as info:
        getattr(qxsdk, method)(*args)
    assert all(w in str(info.value) for w in words), str(info.value)
    assert qxsdk.unconsumed() == 0


# ---------------------------------------------------------------- the pytest plugin in a host project


def run_pytest(folder, files, *options):
    """Runs pytest on `files` (name -> text, plus the host contract) in `folder` with only
    the installed packages; the CompletedProcess and, per test, its results from the JUnit
    report: [(kind, text)] with kind "failure" (the call) or "error" (setup or teardown)."""
    for name, text in {**HOST, **files}.items():
        (folder / name).parent.mkdir(exist_ok=True)
        (folder / name).write_text(textwrap.dedent(text))
    report = folder / "report.xml"
    done = run_clean(None, cwd=folder, host=False, args=[
        sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--junitxml", str(report), *options])
    results = {}
    if report.exists():
        for case in ElementTree.parse(report).iter("testcase"):
            found = [(e.tag, (e.get("message") or "") + (e.text or "")) for e in case if e.tag in ("failure", "error")]
            results.setdefault(case.get("name"), []).extend(found)
    return done, results


HOST_TESTS = """
    import c_sdk
    import pytest

    NAMESPACE = vars(c_sdk)
    ORDER = list(NAMESPACE)
    VALUES = dict(NAMESPACE)

    def test_unused_response(qxsdk):
        qxsdk.push_response("qxi_get_dividends", b"[]")
        qxsdk.push_response("py_qxi_get_dividends", b"[]")

    def test_unused_text_and_status(qxsdk):
        qxsdk.push_text(c_sdk.qxi_strerror, b"scripted")
        qxsdk.push_status(c_sdk.py_qxi_place_order, 1003)
        qxsdk.push_status("qxi_init", 1)
        c_sdk.qxi_init()

    def test_undelivered_event(qxsdk):
        qxsdk.push_event(b"bus", b"{}")

    def test_scripted_through_c(qxsdk):
        qxsdk.lib.qxstub_push_status(b"qxi_init", 1)

    @pytest.mark.qxsdk(allow_unused=True)
    def test_allowed(qxsdk):
        qxsdk.push_response("qxi_get_dividends", b"[]")
        qxsdk.push_event(b"bus", b"{}")

    @pytest.mark.qxsdk(allow_unsued=True)
    def test_misspelt_marker(qxsdk):
        pass

    def test_all_used(qxsdk):
        qxsdk.push_response(c_sdk.py_qxi_get_dividends, b"[]")
        qxsdk.push_event(b"bus", b"{}")
        c_sdk.py_qxi_get_dividends(b"{}")
        c_sdk.qxi_poll()

    def test_simulator_events_alone_are_no_script(qxsdk):
        c_sdk.py_qxi_place_order('{"symbol":"A","volume":1,"side":1}')  # queues an execution report
        assert qxsdk.pending_events() == 1

    def test_delivered_event_then_simulator_event(qxsdk):
        qxsdk.push_event(b"bus", b"{}")
        c_sdk.qxi_poll()
        c_sdk.py_qxi_place_order('{"symbol":"A","volume":1,"side":1}')

    def test_undelivered_event_beside_simulator_events(qxsdk):
        c_sdk.py_qxi_place_order('{"symbol":"A","volume":1,"side":1}')
        qxsdk.push_event(b"bus", b"{}")

    def test_events_queued_through_c(qxsdk):
        qxsdk.lib.qxstub_flood_events(b"bus", b"{}", 2, 3)

    def test_failing_anyway(qxsdk):
        qxsdk.push_response("qxi_get_dividends", b"[]")
        assert False, "its own failure"

    def test_rebinds_the_namespace(qxsdk):
        c_sdk.py_qxi_set_data_callback(lambda text, payload: None)
        c_sdk.CSDK_OPERATE_SUCCESS = 7
        c_sdk.qxsdklogger = None
        del c_sdk.IS_PY2
        c_sdk.added = 1
        NAMESPACE["py_qxi_run"] = NAMESPACE.pop("py_qxi_run")  # the same value, moved to the end

    def test_namespace_is_as_before(qxsdk):
        assert vars(c_sdk) is NAMESPACE and list(NAMESPACE) == ORDER
        assert all(NAMESPACE[name] is value for name, value in VALUES.items())
"""

IMPORTING_TESTS = """
    import sys
    from importlib.machinery import ExtensionFileLoader

    def test_imports_and_rebinds(qxsdk):
        import c_sdk
        c_sdk.CSDK_OPERATE_SUCCESS = 7
        c_sdk.py_qxi_set_data_callback(print)

    def test_namespace_is_as_imported(qxsdk):
        import c_sdk
        assert c_sdk.CSDK_OPERATE_SUCCESS == 0 and "f" not in vars(c_sdk)
        assert type(c_sdk.__loader__) is ExtensionFileLoader and c_sdk.__spec__.loader is c_sdk.__loader__
        assert [f for f in sys.meta_path if "qxsdk" in type(f).__module__] == []
"""


@pytest.fixture(scope="module")
def host_results(tmp_path_factory):
    """Results of a host project's tests: one run that imports c_sdk at collection with
    `qxsdk_activate = true`, one whose tests import it themselves."""
    _, results = run_pytest(tmp_path_factory.mktemp("host"), {
        "pytest.ini": "[pytest]\nqxsdk_activate = true\n", "test_host.py": HOST_TESTS}, "--strict-markers")
    _, importing = run_pytest(tmp_path_factory.mktemp("importing"), {"test_importing.py": IMPORTING_TESTS})
    return {**results, **importing}


@pytest.mark.parametrize("test, failed, words", [
    ("test_unused_response", "error", ["qxi_get_dividends: 2 unused"]),
    ("test_unused_text_and_status", "error", ["):\n  qxi_place_order_pb: 1 unused\n  qxi_strerror: 1 unused"]),
    ("test_undelivered_event", "error", ["events: 1 queued by the test and never delivered"]),
    ("test_undelivered_event_beside_simulator_events", "error", ["events: 1 queued by the test"]),
    ("test_events_queued_through_c", "error", ["events: 3 queued by the test"]),
    ("test_scripted_through_c", "error", ["1 more scripted through the qxstub_ C interface"]),
    ("test_misspelt_marker", "error", ["takes only allow_unused", "allow_unsued"]),
    ("test_failing_anyway", "failure", ["its own failure"]),
    ("test_allowed", None, []),
    ("test_all_used", None, []),
    ("test_simulator_events_alone_are_no_script", None, []),
    ("test_delivered_event_then_simulator_event", None, []),
])
def test_fixture_fails_a_test_that_left_scripts_unused(host_results, test, failed, words):
    results = host_results[test]
    assert [kind for kind, _ in results] == ([failed] if failed else []), results
    for word in words:
        assert word in results[0][1], results


@pytest.mark.parametrize("test", ["test_namespace_is_as_before", "test_namespace_is_as_imported"])
def test_fixture_gives_the_module_namespace_back(host_results, test):
    assert host_results[test] == []


@pytest.mark.parametrize("setting, importer, passes", [
    ("true", "conftest.py", True),
    ("false", "conftest.py", False),
    ("false", "test_importer.py", False),
])
def test_activation_setting_and_the_hint_without_it(tmp_path, setting, importer, passes):
    files = {"pytest.ini": f"[pytest]\nqxsdk_activate = {setting}\n", importer: "import c_sdk\n",
             "test_uses.py": "import c_sdk\n\ndef test_call():\n    assert c_sdk.py_qxi_get_stop_error_code() == 0\n"}
    done, _ = run_pytest(tmp_path, files)
    output = done.stdout + done.stderr
    assert (done.returncode == 0) == passes, output
    assert ("set `qxsdk_activate = true` in the pytest configuration" in output) != passes, output


def test_loading_the_plugin_imports_nothing_heavy():
    # The plugin is imported into every pytest run of an environment that has it installed.
    done = run_clean("""
        import sys, pytest
        before = set(sys.modules)
        import qxsdk_standin.pytest_plugin
        print(" ".join(sorted(set(sys.modules) - before)))
    """)
    assert done.returncode == 0, done.stderr
    loaded = done.stdout.split()
    assert "qxsdk_standin.pytest_plugin" in loaded
    assert [m for m in loaded if m.split(".")[0] in ("ctypes", "json", "difflib", "gc")] == []


# ---------------------------------------------------------------- journal


def test_journal_off_builds_nothing_and_reads_no_request(qxsdk):
    # A request in memory that cannot be read: touching it would end the process.
    done = run_clean("""
        import ctypes, mmap, qxsdk_standin
        sdk = qxsdk_standin.activate()
        libc = ctypes.CDLL(None)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
        unreadable = libc.mmap(None, 1 << 16, 0, mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
        fn = sdk.lib.qxi_get_dividends
        fn.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
        res, n = ctypes.c_char_p(), ctypes.c_int()
        sdk.enable_journal(False)
        print(fn(unreadable, 1 << 16, ctypes.byref(res), ctypes.byref(n)), sdk.journal(), sdk.journal_bytes(),
              ctypes.string_at(res, n.value))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == """0 [] 0 b'{"fn":"qxi_get_dividends","req_len":65536}'"""


def test_journal_is_capped_by_bytes(qxsdk):
    request = b"r" * 1_000_000
    for i in range(40):  # 2 MB of text each: more than the default 64 MiB in all
        c_sdk.py_qxi_get_dividends(request + b"%02d" % i)
    kept = qxsdk.journal()
    assert 20 < len(kept) < 40 and qxsdk.journal_bytes() <= 64 << 20
    assert kept[-1] == Call("qxi_get_dividends", (request + b"39", 1_000_002, OUT, OUT))

    qxsdk.set_journal_caps(total_bytes=10_000)
    assert qxsdk.journal() == [] and qxsdk.journal_bytes() == 0  # every entry was larger
    qxsdk.set_journal_caps(entries=3, total_bytes=1 << 20)
    for i in range(5):
        c_sdk.py_qxi_get_dividends(b"%d" % i)
    assert [c.args[0] for c in qxsdk.journal()] == [b"2", b"3", b"4"]
    qxsdk.reset()
    for i in range(5):
        c_sdk.py_qxi_get_dividends(b"%d" % i)
    assert len(qxsdk.journal()) == 5  # reset restores the defaults
    with pytest.raises(ValueError):
        qxsdk.set_journal_caps(entries=-1)


def test_long_requests_are_recorded_truncated(qxsdk):
    qxsdk.set_journal_caps(request_bytes=4)
    c_sdk.py_qxi_get_dividends(b"0123456789")
    c_sdk.py_qxi_get_dividends(b"0123")
    first, second = qxsdk.journal()
    assert first.args == (Truncated(b"0123", 10), 10, OUT, OUT)
    assert first.args[0] != b"0123456789"
    assert second.args == (b"0123", 4, OUT, OUT)


@pytest.mark.parametrize("journal_on", [True, False])
def test_largest_request_needs_no_memory_beyond_itself(journal_on):
    done = run_clean(f"""
        import resource, qxsdk_standin
        sdk = qxsdk_standin.activate()
        import c_sdk
        sdk.enable_journal({journal_on})
        request = b"x" * (2**31 - 1)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        status, response = c_sdk.py_qxi_get_dividends(request)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(status, response, (after - before) // 1024, len(sdk.journal()))
    """)
    assert done.returncode == 0, done.stderr
    status, response, growth_mib, entries = done.stdout.split()
    assert (status, response) == ("0", """b'{"fn":"qxi_get_dividends","req_len":2147483647}'""")
    assert int(growth_mib) < 32
    assert entries == ("1" if journal_on else "0")


# ---------------------------------------------------------------- answers


def test_texts_each_get_their_own_allocation(qxsdk):
    strerror = qxsdk.lib.qxi_strerror
    strerror.restype, strerror.argtypes = ctypes.c_void_p, [ctypes.c_int]
    first = strerror(1001)
    second = strerror(1002)
    # The first text is freed only after the second exists, so they never share a block
    # (a host reading the first one now reads freed memory, which a sanitizer reports).
    assert first != second
    assert ctypes.string_at(second) == b"unknown bus topic"


# Receives the event's text and payload as the addresses the library passes.
Receiver = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)

LATE_READS = {
    "text": """
        strerror = sdk.lib.qxi_strerror
        strerror.restype, strerror.argtypes = ctypes.c_void_p, [ctypes.c_int]
        first = strerror(1001)
        strerror(1002)
        ctypes.string_at(first)
    """,
    "event": """
        @Receiver
        def receiver(text, payload, length):
            sdk.lib.qxi_now()
            ctypes.string_at(payload, length)

        sdk.lib.qxi_set_event_callback_pb(receiver)
        sdk.expire_event_buffers("free")
        sdk.push_event(b"tick", b"payload")
        sdk.lib.qxi_poll()
    """,
}


@pytest.mark.skipif("libasan" not in os.environ.get("LD_PRELOAD", ""), reason="needs the sanitizer build")
@pytest.mark.parametrize("late", LATE_READS)
def test_a_stale_text_read_is_reported_by_the_sanitizer(late):
    done = run_clean(
        "import ctypes, qxsdk_standin\nsdk = qxsdk_standin.activate()\n"
        "Receiver = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int)\n"
        + textwrap.dedent(LATE_READS[late]))
    assert done.returncode != 0
    assert "heap-use-after-free" in done.stderr


def test_a_response_can_leave_its_length_unwritten(qxsdk):
    fn = qxsdk.lib.qxi_get_dividends
    fn.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_int)]
    qxsdk.push_response_without_length(c_sdk.py_qxi_get_dividends, b"abc")
    response, length = ctypes.c_void_p(), ctypes.c_int(-77)
    assert fn(b"q", 1, ctypes.byref(response), ctypes.byref(length)) == 0
    assert length.value == -77 and ctypes.string_at(response, 3) == b"abc"
    assert fn(b"q", 1, ctypes.byref(response), ctypes.byref(length)) == 0  # the default answer writes it
    assert ctypes.string_at(response, length.value) == b'{"fn":"qxi_get_dividends","req_len":1}'


@pytest.mark.parametrize("how, after", [("keep", (b"tick", b"payload")), ("overwrite", (b"####", b"#######"))])
def test_event_buffers_expire_when_the_callback_calls_in(qxsdk, how, after):
    seen = []

    @Receiver
    def receiver(text, payload, length):
        seen.append((ctypes.string_at(text), ctypes.string_at(payload, length)))
        qxsdk.lib.qxi_now()
        seen.append((ctypes.string_at(text), ctypes.string_at(payload, length)))

    qxsdk.lib.qxi_set_event_callback_pb(receiver)
    qxsdk.expire_event_buffers(how)
    qxsdk.push_event(b"tick", b"payload")
    assert qxsdk.lib.qxi_poll() == 0
    assert seen == [(b"tick", b"payload"), after]


def test_the_next_call_fires_from_a_library_thread_and_waits(qxsdk):
    seen, returned = [], []

    @Receiver
    def receiver(text, payload, length):
        seen.append((ctypes.string_at(text), ctypes.string_at(payload, length), threading.get_ident(), returned[:]))

    qxsdk.lib.qxi_set_event_callback_pb(receiver)
    qxsdk.fire_from_thread_in_next_call(b"a", b"1")
    qxsdk.fire_from_thread_in_next_call(b"b", b"22")
    assert seen == []
    qxsdk.lib.qxi_now()
    returned.append("qxi_now")
    qxsdk.lib.qxi_now()
    assert [(text, payload, calls) for text, payload, _, calls in seen] == [(b"a", b"1", []), (b"b", b"22", [])]
    assert threading.get_ident() not in {thread for _, _, thread, _ in seen}
    assert qxsdk.delivered_events() == 2
    assert [c.fn for c in qxsdk.journal()] == ["qxi_set_event_callback_pb", "qxi_now", "qxi_now"]


def test_empty_orgcode_is_an_orgcode(qxsdk):
    assert c_sdk.py_qxi_get_orgcode() == b"org-standin"
    c_sdk.py_qxi_set_serv_addr_v5(b"tcp://a", b"", b"site")
    assert c_sdk.py_qxi_get_orgcode() == b""
    c_sdk.py_qxi_set_serv_addr_v5(b"tcp://a", b"org-1", b"site")
    assert c_sdk.py_qxi_get_orgcode() == b"org-1"


def test_reset_inside_a_run_ends_the_session(qxsdk):
    qxsdk.set_now(5_000)
    qxsdk.set_session(30, 1000)
    c_sdk.py_qxi_subscribe(b"A", b"tick", False)
    ticks = []

    def receiver(text, payload):
        ticks.append(text)
        if len(ticks) == 2:
            qxsdk.reset()

    c_sdk.py_qxi_set_data_callback(receiver)
    assert c_sdk.py_qxi_run() == 0
    assert ticks == ["tick", "tick"]
    assert c_sdk.qxi_now() == DEFAULT_NOW
    # The next run plays the default session (60 steps) from the reset clock.
    c_sdk.py_qxi_set_data_callback(receiver)
    c_sdk.py_qxi_subscribe(b"A", b"tick", False)
    assert c_sdk.py_qxi_run() == 0
    assert c_sdk.qxi_now() == DEFAULT_NOW + 60_000


@pytest.mark.parametrize("drop", [
    lambda symbol: c_sdk.py_qxi_unsubscribe(symbol, b"2s"),
    lambda symbol: c_sdk.py_qxi_subscribe(symbol, b"tick", True),  # drops every earlier subscription
], ids=["unsubscribe", "subscribe dropping the previous ones"])
def test_a_resubscribed_bar_starts_afresh(qxsdk, drop):
    start = 1_000_000
    qxsdk.set_now(start)
    qxsdk.set_session(6, 1000)
    symbol = b"SHSE.600000"
    c_sdk.py_qxi_subscribe(symbol, b"tick", False)
    c_sdk.py_qxi_subscribe(symbol, b"2s", False)
    ticks, bars = {}, []

    def receiver(text, payload):
        data = json.loads(payload)
        if text == "bar":
            bars.append(data)
            return
        ticks[data["created_at"] - start] = data
        if data["created_at"] == start + 1000:
            drop(symbol)
        elif data["created_at"] == start + 4000:
            c_sdk.py_qxi_subscribe(symbol, b"2s", False)

    c_sdk.py_qxi_set_data_callback(receiver)
    assert c_sdk.py_qxi_run() == 0
    assert [b["eob"] - start for b in bars] == [6000]
    bar = bars[0]
    assert bar["open"] == ticks[5000]["price"] and bar["close"] == ticks[6000]["price"]
    assert bar["volume"] == ticks[5000]["last_volume"] + ticks[6000]["last_volume"]
    assert bar["high"] == max(ticks[5000]["price"], ticks[6000]["price"])


def place(side, volume, price, symbol="A", raw_price=None):
    request = {"symbol": symbol, "volume": volume, "side": side}
    if price is not None:
        request["price"] = price
    text = json.dumps(request)
    if raw_price is not None:  # the price as written, not as a float prints
        text = text[:-1] + ', "price": %s}' % raw_price
    return c_sdk.py_qxi_place_order(text)


def test_money_is_kept_in_whole_cents(qxsdk):
    assert place(1, 7, 10.01)[0] == 0
    assert place(2, 1, 10.01)[0] == 0
    assert c_sdk.py_qxi_get_positions(b"{}")[1] == b'[{"symbol":"A","volume":6,"vwap":10.0100}]'
    assert c_sdk.py_qxi_get_cash(b"{}")[1] == b'{"available":999939.94,"market_value":60.06,"nav":1000000.00}'

    qxsdk.reset()
    assert place(1, 100_000_000, 1234567.89, "B")[0] == 0
    assert c_sdk.py_qxi_get_cash(b"{}")[1] == (
        b'{"available":-123456788000000.00,"market_value":123456789000000.00,"nav":1000000.00}')


def test_vwap_is_the_average_of_the_opening_fills(qxsdk):
    place(1, 1, 10.00)
    place(1, 2, 10.01)
    assert json.loads(c_sdk.py_qxi_get_positions(b"{}")[1]) == [{"symbol": "A", "volume": 3, "vwap": 10.0067}]
    place(2, 5, 9.00)  # through zero: the short side opened at 9.00
    assert c_sdk.py_qxi_get_positions(b"{}")[1] == b'[{"symbol":"A","volume":-2,"vwap":9.0000}]'
    assert c_sdk.py_qxi_get_cash(b"{}")[1].startswith(b'{"available":1000014.98,"market_value":-18.00,')


@pytest.mark.parametrize("fills, market_value", [
    ([(1, 1, "10.00"), (1, 1, "10.01"), (2, 1, "10.02")], "10.01"),  # 10.005 rounds up
    ([(2, 1, "10.00"), (2, 1, "10.01"), (1, 1, "10.02")], "-10.01"),  # short: away from zero
    ([(1, 1, "10.00"), (1, 2, "10.01"), (2, 1, "10.02")], "20.01"),  # 20.0133 rounds down
    ([(1, 3, "0.01"), (1, 1, "0.02"), (2, 2, "5.00")], "0.03"),  # 0.025
])
def test_market_value_rounds_half_up_to_the_cent(qxsdk, fills, market_value):
    for side, volume, price in fills:
        assert place(side, volume, None, raw_price=price)[0] == 0
    assert json.loads(c_sdk.py_qxi_get_cash(b"{}")[1], parse_float=str)["market_value"] == market_value


# A number is read by its decimal text: a double would take 10.000000001 for 10.00.
@pytest.mark.parametrize("field, text, filled", [
    ("price", "0.001", None),
    ("price", "10.005", None),
    ("price", "0.009", None),
    ("price", "1e-9", None),
    ("price", "10.000000001", None),
    ("price", "10.0100000000000001", None),
    ("price", "10000000.01", None),
    ("price", "-0.01", None),
    ("price", "10.0100", "10.01"),
    ("price", "1.001e3", "1001.00"),
    ("price", "1001E-2", "10.01"),
    ("price", "1e7", "10000000.00"),
    ("volume", "1.0000000000000001", None),
    ("volume", "1e-400", None),
    ("volume", "2.000", 2),
    ("volume", "1e9", 1000000000),
    ("side", "1.0000000000000001", None),
    ("side", "2e0", 2),
])
def test_order_numbers_are_read_by_their_decimal_text(qxsdk, field, text, filled):
    numbers = {"volume": "1", "side": "1", "price": "10.00", field: text}
    request = '{"symbol":"A","volume":%(volume)s,"side":%(side)s,"price":%(price)s}' % numbers
    status, response = c_sdk.py_qxi_place_order(request)
    if filled is None:
        assert (status, response) == (1003, None)
        assert json.loads(c_sdk.py_qxi_get_positions(b"{}")[1]) == []
    else:
        assert status == 0, response
        assert json.loads(response, parse_float=str)[field] == filled


@pytest.mark.parametrize("number, valid", [
    ("00.5", False), (".5", False), ("5.", False), ("-.5", False), ("01", False), ("-01", False),
    ("1.e5", False), ("+1", False), ("1e", False), ("1e+", False), ("-", False), ("0x10", False),
    ("Infinity", False), ("-Infinity", False), ("NaN", False), ("1.5e-", False), ("--1", False),
    ("0", True), ("-0", True), ("0.5", True), ("-0.5e-3", True), ("1E+5", True), ("10e00", True),
    ("1e400", True),  # the grammar allows it; only a number the order uses must fit
])
def test_the_order_reader_takes_only_json_numbers(qxsdk, number, valid):
    # The number in a key the order ignores, alone and inside nested values.
    for value in [number, "[1, %s]" % number, '{"a": {"b": [%s]}}' % number]:
        status, response = c_sdk.py_qxi_place_order('{"symbol":"A","volume":1,"side":1,"note":%s}' % value)
        assert status == (0 if valid else 1003), (value, response)


@pytest.mark.parametrize("depth, status", [(64, 0), (65, 1003), (1_000_000, 1003)])
def test_the_order_reader_bounds_nesting(qxsdk, depth, status):
    # Nested values are read recursively: a bound keeps any request from exhausting the stack.
    note = "[" * depth + "]" * depth
    assert c_sdk.py_qxi_place_order('{"symbol":"A","volume":1,"side":1,"note":%s}' % note)[0] == status


def test_pending_pushed_events_are_those_the_control_queued(qxsdk):
    qxsdk.flood_events(b"bus", b"{}", 3)
    assert place(1, 1, None)[0] == 0  # the library queues its execution report
    qxsdk.lib.qxstub_push_event(b"bus", b"{}", 2)
    assert (qxsdk.pending_events(), qxsdk.pending_pushed_events()) == (5, 4)
    received = []

    def receiver(text, payload):
        received.append(text)
        if len(received) == 2:
            c_sdk.py_qxi_stop()

    c_sdk.py_qxi_set_data_callback(receiver)
    assert c_sdk.qxi_poll() == 0
    assert (qxsdk.pending_events(), qxsdk.pending_pushed_events()) == (3, 2)  # one copy of the flood left
    assert c_sdk.qxi_poll() == 0
    assert (qxsdk.pending_events(), qxsdk.pending_pushed_events()) == (0, 0)
    qxsdk.push_event(b"bus", b"{}")
    qxsdk.reset()
    assert qxsdk.pending_pushed_events() == 0


def test_scripted_success_still_says_what_happened(qxsdk):
    assert c_sdk.py_qxi_get_ext_errormsg() == b""
    qxsdk.push_status("qxi_place_order_pb", 0)
    status, response = c_sdk.py_qxi_place_order(b"not json")
    assert status == 0
    assert json.loads(response) == {"fn": "qxi_place_order_pb", "req_len": 8, "error": 1003}
    assert b"malformed request" in c_sdk.py_qxi_get_ext_errormsg()

    qxsdk.push_status("qxi_send_msg_to_bus", 0)
    assert c_sdk.py_qxi_send_msg_to_bus(b"nowhere", b"hello") == 0
    assert c_sdk.py_qxi_get_ext_errormsg() == b'qxi_send_msg_to_bus: unknown bus topic "nowhere", nothing was sent'
    assert qxsdk.pending_events() == 0
