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
from qxsdk_standin import OUT, Call

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


def docstrings(text):
    """Name -> docstring of every function, class and property of a stub text."""
    found = {}
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            found.setdefault(node.name, ast.get_docstring(node))
    return found


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
         "def py_qxi_user_timer(period: int, delay: int) -> int:"),
        # A conversion changed: the parameter's type follows.
        ('"timer_id">, Int<0>', '"timer_id">, Text<0>',
         "def py_qxi_user_timer_stop(timer_id: bytes | bytearray | str, /) -> None:"),
        # Decoration dropped: str is no longer accepted.
        ("REQUEST(py_qxi_place_order, qxi_place_order_pb, decorated)",
         "REQUEST(py_qxi_place_order, qxi_place_order_pb, plain)",
         "def py_qxi_place_order(req: bytes | bytearray, /) -> tuple[int, bytes | None]:"),
        # A request binding pointed at a status-only library function.
        ("REQUEST(py_qxi_get_cash, qxi_get_cash_pb,",
         "REQUEST(py_qxi_get_cash, qxi_cancel_orders_pb,",
         "def py_qxi_get_cash(req: bytes | bytearray | str, /) -> int:"),
        # A direct object's adapter changed.
        ('{"qxi_now", make_direct<Clock, qxi_now>}', '{"qxi_now", make_direct<RealClock, qxi_now>}',
         "def qxi_now() -> float:"),
    ],
)
def test_a_changed_row_changes_the_stub(tmp_path, old, new, changed):
    root = copy_sources(tmp_path)
    edit(root, old, new)
    before_text, after_text = read(COMMITTED), gen_stubs.generate(root)
    before = [line for line in before_text.splitlines() if line.startswith("def ")]
    after = [line for line in after_text.splitlines() if line.startswith("def ")]
    assert [line for line in after if line not in before] == [changed]
    assert len(after) == len(before)
    # The changed function's docstring follows the row, and no other docstring changes.
    docs_before, docs_after = docstrings(before_text), docstrings(after_text)
    assert docs_before.keys() == docs_after.keys()
    changed_name = changed.split("(")[0][len("def "):]
    assert {n for n in docs_before if docs_before[n] != docs_after[n]} == {changed_name}


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
C_RESULTS = {"'int'": "int", "'long long'": "int", "float": "float", "'void'": "None",
             "'const char *'": "bytes | None"}


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


# ---- Docstrings and result types against what the module does ---------------------------

def library_calling_functions():
    """(name, stub node, library function, library arguments as the docstring writes them)
    of every stub function whose docstring names the library call it makes."""
    found = []
    for name, node in stub_functions().items():
        m = re.search(r"^Calls (\w+)\((.*?)\)", ast.get_docstring(node) or "", flags=re.S | re.M)
        if m:
            found.append((name, node, m.group(1), [a for a in re.split(r",\s*", m.group(2)) if a]))
    return found


CALLING = library_calling_functions()


def annotation(node):
    return ast.unparse(node) if node is not None else "None"


def admits(ann, value):
    """Whether `value` is of the stub type `ann` (the few forms the stub uses)."""
    options, depth, current = [], 0, ""
    for ch in ann:
        depth += ch == "["
        depth -= ch == "]"
        if ch == "|" and depth == 0:
            options.append(current.strip())
            current = ""
        else:
            current += ch
    options.append(current.strip())
    for option in options:
        m = re.fullmatch(r"tuple\[(.*)\]", option)
        if m:
            items = [i.strip() for i in re.split(r",\s*(?![^\[]*\])", m.group(1))]
            if isinstance(value, tuple) and len(value) == len(items) and all(map(admits, items, value)):
                return True
        elif option == "None":
            if value is None:
                return True
        elif type(value) is {"int": int, "float": float, "bytes": bytes, "bool": bool}[option]:
            return True
    return False


def sample_arguments(node):
    """Distinct arguments of the stub's types: (bytes arguments, the same with str texts)."""
    plain, texts = [], []
    for i, arg in enumerate(node.args.posonlyargs + node.args.args):
        ann = annotation(arg.annotation)
        if "bytes" in ann:
            plain.append(b"a%d" % i)
            texts.append("a%d" % i)
        else:
            value = {"int": 10 + i, "float": 0.5 + i, "bool": True}[ann]
            plain.append(value)
            texts.append(value)
    return plain, texts


def expected_library_args(node, call_args, values):
    """The journal's arguments for the call the docstring names, each derived from the
    conversion its Args entry names."""
    doc = ast.get_docstring(node)
    names = [a.arg for a in node.args.posonlyargs + node.args.args]
    by_name = dict(zip(names, values))
    expected = []
    for arg in call_args:
        if arg == "NULL":
            expected.append(None)
        elif arg.startswith("&"):
            expected.append(OUT)
        elif arg not in by_name and arg.endswith("_len"):
            expected.append(len(by_name[arg[: -len("_len")]]))
        else:
            kind = re.search(r"^ +%s: ([^:]+):" % arg, doc, flags=re.M).group(1)
            convert = {"byte text": bytes, "serialised request": bytes, "32-bit int": int, "float": float,
                       "flag": bool, "flag from a 32-bit int": bool}[kind]
            expected.append(convert(by_name[arg]))
    return tuple(expected)


@pytest.mark.parametrize("name, node, library, call_args", CALLING, ids=[c[0] for c in CALLING])
def test_docstring_names_the_library_call_and_the_stub_types_hold(qxsdk, name, node, library, call_args):
    """Each binding and direct object makes the library call its docstring writes, with
    each argument converted as its Args entry says; it takes str texts exactly where its
    stub does, and returns a value of its stub's result type."""
    plain, texts = sample_arguments(node)
    result = getattr(c_sdk, name)(*plain)
    assert qxsdk.journal() == [Call(library, expected_library_args(node, call_args, plain))]
    assert admits(annotation(node.returns), result), (result, annotation(node.returns))
    doc = ast.get_docstring(node)
    for arg in node.args.posonlyargs + node.args.args:
        entry = re.search(r"^ +%s: (.*?)(?=^ +\w+:|^$|\Z)" % arg.arg, doc, flags=re.M | re.S).group(1)
        assert ("ASCII str" in " ".join(entry.split())) == ("str" in annotation(arg.annotation)), arg.arg
    if texts == plain:
        return
    qxsdk.clear_journal()
    takes_str = [("str" in annotation(a.annotation)) for a in node.args.posonlyargs + node.args.args
                 if "bytes" in annotation(a.annotation)]
    assert len(set(takes_str)) == 1, name  # decoration covers every text or none
    if takes_str[0]:
        getattr(c_sdk, name)(*texts)
        assert qxsdk.journal() == [Call(library, expected_library_args(node, call_args, plain))]
    else:
        with pytest.raises(TypeError):
            getattr(c_sdk, name)(*texts)
        assert qxsdk.journal() == []


TEXT_RESULTS = [c for c in CALLING if "bytes" in annotation(c[1].returns)]


@pytest.mark.parametrize("name, node, library, call_args", TEXT_RESULTS, ids=[c[0] for c in TEXT_RESULTS])
def test_missing_texts_and_responses_come_back_as_stub_and_docstring_say(qxsdk, name, node, library,
                                                                          call_args):
    """A failing status, or a null text from the library, gives None exactly where the
    stub admits it and the docstring says so; otherwise the documented SystemError."""
    plain, _ = sample_arguments(node)
    doc = ast.get_docstring(node)
    returns = " ".join(re.search(r"^Returns:\n(.*?)(?:\n\n|\Z)", doc, flags=re.S | re.M).group(1).split())
    if any(a.startswith("&") for a in call_args):
        qxsdk.push_status(library, 7)  # anything but CSDK_OPERATE_SUCCESS
        result = getattr(c_sdk, name)(*plain)
        assert None in (result if isinstance(result, tuple) else (result,))
        assert re.search(r"None\)? otherwise", returns)
    else:
        qxsdk.push_text(library, None)
        try:
            result = getattr(c_sdk, name)(*plain)
        except SystemError:
            assert not admits(annotation(node.returns), None)
            assert "SystemError: the library returned a null text" in " ".join(doc.split())
            return
        assert result is None
        assert "None when the library returns a null text" in returns
    assert admits(annotation(node.returns), result)


def test_docstrings_open_with_the_module_own_doc_strings():
    """Where the module gives a function a doc string, the stub's docstring starts with it."""
    docs = docstrings(read(COMMITTED))
    checked = 0
    for name, obj in vars(c_sdk).items():
        own = obj.__doc__ if callable(obj) and not isinstance(obj, type) else None
        if own:
            assert docs[name].splitlines()[0] == own.strip(), name
            checked += 1
    assert checked == 17  # c_status_ok, c_status_fail, adapt_to_python3 and the direct objects


RECORD_NAMES = ["ObjectLikeDict2", "TickLikeDict2", "QuoteItemLikeDict2", "BarLikeDict2"]


@pytest.mark.parametrize("name", RECORD_NAMES)
def test_record_docstrings_say_what_the_classes_do(name):
    doc = " ".join(docstrings(read(COMMITTED))[name].split())
    cls = getattr(c_sdk, name)
    record = cls({"bid_p": 1.5, "symbol": "SHSE.600000"})
    with pytest.raises(TypeError):
        iter(record)
    if "`in` raise TypeError" in doc:
        with pytest.raises(TypeError):
            "bid_p" in record
    else:
        assert "key in record tests the storage's membership" in doc
        assert ("bid_p" in record, "ask_p" in record) == (True, False)
    properties = [v for v in vars(cls).values() if isinstance(v, property)]
    assert {p.fset is not None for p in properties} <= {"its setter stores there" in doc}
    assert ("Each property" in doc) == bool(properties)
