"""The type stubs: generated from the binding tables, installed with the module, and
in agreement with the namespace and signatures of the built module."""

import ast
import importlib.util
import inspect
import os
import re
import shutil

import pytest

import c_sdk

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMITTED = os.path.join(ROOT, "src", "c_sdk-stubs", "__init__.pyi")
INSTALLED = os.path.join(os.path.dirname(c_sdk.__file__), "c_sdk-stubs", "__init__.pyi")
# Set by the module's creation step, not by its own statements.
MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__"}


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_stubs", os.path.join(ROOT, "tools", "gen_stubs.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


gen_stubs = load_generator()


def read(path):
    with open(path) as f:
        return f.read()


def stub_tree():
    return ast.parse(read(COMMITTED))


def stub_functions():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.FunctionDef)}


def stub_classes():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def params(node):
    """(positional-only names, other names, names with a default) of a stub function."""
    a = node.args
    positional_only = [p.arg for p in a.posonlyargs]
    others = [p.arg for p in a.args]
    with_default = (positional_only + others)[len(positional_only + others) - len(a.defaults) :] if a.defaults else []
    return positional_only, others, with_default


# ---- Generated, committed and installed stubs agree ------------------------------------


def test_committed_stub_is_what_the_tables_generate():
    assert gen_stubs.generate() == read(COMMITTED), "stale stub: run python3 tools/gen_stubs.py"


def test_installed_stub_is_the_committed_one():
    assert os.path.exists(INSTALLED), "c_sdk-stubs/__init__.pyi is not installed beside the module"
    assert read(INSTALLED) == read(COMMITTED)


def copy_sources(tmp_path):
    shutil.copytree(os.path.join(ROOT, "src", "c_sdk"), tmp_path / "src" / "c_sdk")
    return tmp_path


def edit(root, old, new):
    """Replaces `old`, found once in one source file under src/c_sdk (wherever it lives)."""
    holders = [p for p in (root / "src" / "c_sdk").glob("**/*.[ch]pp") if old in p.read_text()]
    assert len(holders) == 1 and holders[0].read_text().count(old) == 1, (old, holders)
    holders[0].write_text(holders[0].read_text().replace(old, new))


@pytest.mark.parametrize(
    "old, new, changed",
    [
        # A parameter renamed in a row.
        ('"period", "start_delay"', '"period", "delay"',
         "def py_qxi_user_timer(period: int, delay: int) -> int: ..."),
        # A conversion changed: the parameter's type follows.
        ('"timer_id">, Int<0>', '"timer_id">, Text<0>',
         "def py_qxi_user_timer_stop(timer_id: bytes | bytearray | str, /) -> None: ..."),
        # Decoration dropped: str is no longer accepted.
        ("REQUEST(py_qxi_place_order, qxi_place_order_pb, decorated)",
         "REQUEST(py_qxi_place_order, qxi_place_order_pb, plain)",
         "def py_qxi_place_order(req: bytes | bytearray, /) -> tuple[int, bytes | None]: ..."),
        # A request binding pointed at a status-only library function.
        ("REQUEST(py_qxi_get_cash, qxi_get_cash_pb,",
         "REQUEST(py_qxi_get_cash, qxi_cancel_orders_pb,",
         "def py_qxi_get_cash(req: bytes | bytearray | str, /) -> int: ..."),
        # A direct object's adapter changed.
        ('{"qxi_now", make_direct<Clock, qxi_now>}', '{"qxi_now", make_direct<RealClock, qxi_now>}',
         "def qxi_now() -> float: ..."),
    ],
)
def test_a_changed_row_changes_the_stub(tmp_path, old, new, changed):
    root = copy_sources(tmp_path)
    edit(root, old, new)
    before = read(COMMITTED).splitlines()
    after = gen_stubs.generate(root).splitlines()
    assert [line for line in after if line not in before] == [changed]
    assert len(after) == len(before)


@pytest.mark.parametrize(
    "old, new, message",
    [
        ('"timer_id">, Int<0>', '"timer_id">, Tick<0>', "unknown conversion|no Python type"),
        ('"period", "start_delay">, Int<0>, Int<1>', '"period", "start_delay">, Int<0>',
         "do not cover"),
        ("ReturnAddress, Style", "ReturnSomething, Style", "no Python type"),
        ('"bid_p", "bid_v"', '"bid_p", "bid_size"', "bid_size"),
        ('    "py_qxi_run",\n', "", "namespace order and tables disagree"),
    ],
)
def test_rows_the_generator_cannot_type_stop_it(tmp_path, old, new, message):
    root = copy_sources(tmp_path)
    edit(root, old, new)
    with pytest.raises(gen_stubs.SourceError, match=message):
        gen_stubs.generate(root)


# ---- The stub against the built module -------------------------------------------------


def test_stub_names_every_name_of_the_namespace():
    tree = stub_tree()
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            declared.add(node.target.id)
        elif isinstance(node, ast.Import):
            declared.update(alias.asname for alias in node.names if alias.asname)
    public = {name for name in declared if not (name.startswith("_") and not name.startswith("__"))}
    runtime = set(vars(c_sdk)) - MODULE_ATTRIBUTES
    # `f` is bound only once a receiver is registered.
    assert public - runtime == {"f"}
    assert runtime - public == set()


def test_stub_functions_follow_the_runtime_signatures():
    functions = stub_functions()
    checked = 0
    for name, obj in vars(c_sdk).items():
        text = getattr(obj, "__text_signature__", None)
        if not callable(obj) or isinstance(obj, type) or text is None or text.startswith("($self"):
            continue  # decorated bindings: see the keyword test below
        runtime = inspect.signature(obj)
        positional_only, others, with_default = params(functions[name])
        assert [p.name for p in runtime.parameters.values()] == positional_only + others, name
        assert [p.name for p in runtime.parameters.values() if p.kind == p.POSITIONAL_ONLY] == positional_only, name
        assert [p.name for p in runtime.parameters.values() if p.default is not p.empty] == with_default, name
        checked += 1
    assert checked > 100


def test_decorated_bindings_take_the_stub_parameter_names(qxsdk):
    """The wrapper hides the signature; calling with the stub's names shows it. A value
    no conversion accepts stops every call before the library."""
    unconvertible = object()
    checked = 0
    for name, node in stub_functions().items():
        obj = getattr(c_sdk, name)
        if getattr(obj, "__name__", None) != "wrapper":
            continue
        positional_only, others, _ = params(node)
        if others:
            with pytest.raises(TypeError) as info:
                obj(**{p: unconvertible for p in others})
            assert "argument" not in str(info.value), (name, str(info.value))
        elif positional_only:
            with pytest.raises(TypeError, match="takes no keyword arguments"):
                obj(**{positional_only[0]: b""})
            with pytest.raises(TypeError, match="takes exactly one argument"):
                obj()
        else:
            with pytest.raises(TypeError, match="takes no arguments"):
                obj(b"")
        checked += 1
    assert qxsdk.journal() == []
    assert checked == 60


C_TYPES = {"'int'": "int", "'bool'": "bool", "'const char *'": "bytes | bytearray"}
C_RESULTS = {"'int'": "int", "'long long'": "int", "float": "float", "'void'": "None", "'const char *'": "bytes"}


def test_direct_objects_match_their_doc_strings():
    functions = stub_functions()
    for name, obj in vars(c_sdk).items():
        if getattr(obj, "__name__", None) != "wrap":
            continue
        m = re.fullmatch(r"wrap\((.*)\) -> (.+)", obj.__doc__)
        declared = [p.split(": ") for p in m.group(1).split(", ") if p]
        node = functions[name]
        positional_only, others, _ = params(node)
        assert [p for p, _ in declared] == positional_only + others, name
        assert (len(declared) == 1) == bool(positional_only), name  # one argument: positional only
        stub_types = [ast.unparse(a.annotation) for a in node.args.posonlyargs + node.args.args]
        assert stub_types == [C_TYPES[t] for _, t in declared], name
        assert ast.unparse(node.returns) == C_RESULTS[m.group(2)], name


def test_record_classes_match_the_runtime_classes():
    records = {name: node for name, node in stub_classes().items() if not name.startswith("_")}
    assert len(records) == 4
    for name, node in records.items():
        cls = getattr(c_sdk, name)
        methods = [n for n in node.body if isinstance(n, ast.FunctionDef)]
        properties = [n for n in methods if any(ast.unparse(d) == "property" for d in n.decorator_list)]
        setters = {n.name for n in methods if any(ast.unparse(d).endswith(".setter") for d in n.decorator_list)}
        protocol = [n for n in methods if n not in properties and n.name not in setters]
        runtime_methods = [k for k, v in vars(cls).items() if k.startswith("__") and callable(v)]
        assert [n.name for n in protocol] == runtime_methods, name
        for method in protocol:
            runtime = inspect.signature(vars(cls)[method.name])
            assert [p.arg for p in method.args.args] == list(runtime.parameters), (name, method.name)
        runtime_props = {k: v for k, v in vars(cls).items() if isinstance(v, property)}
        assert [n.name for n in properties] == list(runtime_props), name
        assert setters == {k for k, v in runtime_props.items() if v.fset is not None}, name
