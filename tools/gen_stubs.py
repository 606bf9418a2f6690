#!/usr/bin/env python3
"""Writes the type stubs of c_sdk (src/c_sdk-stubs/__init__.pyi) from the sources.

The stubs are derived, never edited by hand: function names, parameter names, calling
styles and result kinds come from the binding rows in src/c_sdk/**, the shapes of the
serialised-request bindings from the library functions' declarations in qxsdk.h, the
direct function objects from their Adapter signatures, and the record classes from
their Kind lists. What C++ cannot say (the Python types of the hand-written helpers'
parameters and of the record fields) is in the tables below; a name the sources have
and the tables lack stops generation.

Every function and record class gets a docstring made from the same parts: the library
call a row makes (its conversions in library-argument order), what each conversion
accepts, what the result kind returns and what raises. The wording lives once per
conversion, result kind and C type in the tables below, never per binding; a doc string
the module itself carries (the helpers', the direct objects') comes first, unchanged.

    python3 tools/gen_stubs.py            write the stub
    python3 tools/gen_stubs.py --check    exit 1 when the committed stub is stale
"""

from __future__ import annotations

import pathlib
import re
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import generated  # noqa: E402

STUB = ROOT / "src" / "c_sdk-stubs" / "__init__.pyi"

TEXT = "bytes | bytearray"
TEXT_OR_STR = "bytes | bytearray | str"  # decorated bindings encode str arguments as ASCII
PAIR = "tuple[int, bytes | None]"

# Python type of each conversion tag of a binding row. A flag takes any object by its
# truth value at run time; it is typed `bool` so that a checker catches an argument
# put in the wrong place (a text where the flag goes), which `object` would let pass.
CONVERSIONS = {
    "Text": None,  # text: TEXT or TEXT_OR_STR, by decoration
    "Request": None,  # request: the same types as a text
    "Int": "int",
    "Real": "float",
    "Flag": "bool",
    "IntAsFlag": "int",
}

# Python result of each result kind of a binding row.
RESULTS = {
    "ReturnInt": "int",
    "ReturnNone": "None",
    "ReturnText": "bytes",
    "ReturnPair": PAIR,
    "ReturnAddress": "bytes | None",  # None unless the status is the success value
}

# C types of the direct function objects and the library header. A direct object gives
# None for a null text where a binding raises SystemError.
C_ARGS = {"int": "int", "bool": "bool", "const char*": TEXT}
C_RESULTS = {"int": "int", "long long": "int", "double": "float", "void": "None", "const char*": "bytes | None"}

# ---- Docstring parts ------------------------------------------------------------------

# What each conversion accepts and passes, and the exceptions it adds to a wrong call's
# TypeError. `{name}` is the parameter, `{accepts}` the objects a text or request takes.
CONVERSION_DOCS = {
    "Text": ("byte text: {accepts}, passed as a C string up to its first NUL", ()),
    "Request": ("serialised request: {accepts}, passed as pointer and byte count ({name}_len), not copied; "
                "OverflowError from 2**31 bytes", ("OverflowError",)),
    "Int": ("32-bit int: an int or an object with __int__ (a float truncates); OverflowError outside the C "
            "int range", ("OverflowError",)),
    "Real": ("float: a float, an int or an object with __float__, passed as a C double", ()),
    "Flag": ("flag: any object, passed as its truth value", ()),
    "IntAsFlag": ("flag from a 32-bit int: an int or an object with __int__ (a float truncates), passed as true "
                  "when it is not zero; OverflowError outside the C int range", ("OverflowError",)),
}
ACCEPTS = "bytes or bytearray"
ACCEPTS_STR = "bytes, bytearray or an ASCII str (as its bytes)"  # decorated bindings

# The library arguments after the converted ones, by result kind (out-parameters).
RESULT_OUTS = {"ReturnPair": ["&res", "&res_len"], "ReturnAddress": ["&addr"]}

# What each result kind returns (`{c}`: the library function's C result type) and what
# it raises after the call.
SUCCESS_MISSING = ("NameError", "CSDK_OPERATE_SUCCESS is not defined (raised after the library call)")
RESULT_DOCS = {
    "ReturnInt": ("The int the library returns, unchanged; it is not compared with CSDK_OPERATE_SUCCESS.", []),
    "ReturnNone": ("None: the library's {c} result is dropped.", []),
    "ReturnText": ("The library's text copied into bytes, never decoded.",
                   [("SystemError", "the library returned a null text (a broken library contract)")]),
    "ReturnPair": ("(status, bytes) when the library's status == CSDK_OPERATE_SUCCESS, the response copied; "
                   "(status, None) otherwise, the response left unread.",
                   [SUCCESS_MISSING,
                    ("SystemError", "a success with a null response of positive length, or a negative length "
                                    "(a broken library contract)")]),
    "ReturnAddress": ("The address text copied into bytes when the library's status == CSDK_OPERATE_SUCCESS "
                      "(tested with !=); None otherwise.",
                      [SUCCESS_MISSING, ("SystemError", "a success with a null text (a broken library contract)")]),
}
VOID_RESULT = "None: the library function returns nothing."

# Direct objects, by C type: the conversion each argument type goes through, and what
# each result type gives.
C_ARG_CONVERSIONS = {"int": "Int", "bool": "Flag", "const char*": "Text"}
C_RESULT_DOCS = {
    "int": "The library's int result, unchanged.",
    "long long": "The library's 64-bit int result, unchanged.",
    "double": "The library's double as a float.",
    "void": "None.",
    "const char*": "The library's text copied into bytes, never decoded; None when the library returns a "
                   "null text.",
}

BEFORE_CALL = "before the library is called"

# Hand-written helpers: (parameter types by name, result type). Names, order, defaults
# and calling style come from their signature texts in the sources.
RECEIVER = "Callable[[str, bytes], object]"
HELPERS = {
    "is_windows": ({}, "bool"),
    "is_linux": ({}, "bool"),
    "adapt_to_python3": ({"func": "Callable[..., _R]"}, "Callable[..., _R]"),
    "c_status_ok": ({"status": "int"}, "bool"),
    "c_status_fail": ({"status": "int", "cfunname": "str"}, "bool"),
    "py_qxi_set_data_callback": ({"pythonf": RECEIVER}, "None"),
}

# What each helper does, after the module's own doc string of it, if any.
HELPER_DOCS = {
    "is_windows": "Returns platform.uname()[0].lower() == 'windows'.",
    "is_linux": "Returns platform.uname()[0].lower() == 'linux'.",
    "adapt_to_python3": "Returns a new wrapper (named wrapper) around func: while IS_PY2 is false it encodes "
                        "every str argument and keyword value as ASCII bytes (UnicodeEncodeError for other "
                        "text, before func runs), then returns func's result. The module's decorated bindings "
                        "are such wrappers.",
    "c_status_ok": "Returns status == CSDK_OPERATE_SUCCESS, as the comparison gives it.",
    "c_status_fail": "Returns status != CSDK_OPERATE_SUCCESS, as the comparison gives it. When that is true, it "
                     "first logs 'invoke c fun={cfunname} error code={status}, error info={text}' (without "
                     "'={cfunname}' when cfunname is false) through qxsdklogger.debug, the text being "
                     "py_qxi_strerror(status) decoded as UTF-8.",
    "py_qxi_set_data_callback": "Stores pythonf as the module global f and registers the module's event "
                                "trampoline with qxi_set_event_callback_pb, on every call. Each library event "
                                "then calls f(text: str, payload: bytes) on the thread inside py_qxi_run or "
                                "qxi_poll; what f raises is printed and absorbed, never reaching the library.",
}

# Record fields as the library's event payloads carry them (JSON numbers: prices and
# amounts as decimals, times in milliseconds and volumes as integers). A field reads
# None when its key is absent, so every property admits None.
FIELDS = {
    "quotes": "list[_QuoteLevel]",
    "symbol": "str",
    "frequency": "str",
    "created_at": "int",
    "eob": "int",
    "bob": "int",
    "receive_local_time": "int",
    "price": "float",
    "open": "float",
    "high": "float",
    "low": "float",
    "close": "float",
    "pre_close": "float",
    "amount": "float",
    "cum_amount": "float",
    "last_amount": "float",
    "bid_p": "float",
    "ask_p": "float",
    "volume": "int",
    "cum_volume": "int",
    "last_volume": "int",
    "bid_v": "int",
    "ask_v": "int",
    "position": "int",
    "cum_position": "int",
    "trade_type": "int",
}

# Records whose storage is one element of another record's field: the stub declares a
# TypedDict of that name with the record's properties as its keys (FIELDS types them),
# and the record accepts it as its storage.
ELEMENT_DICTS = {
    "QuoteItemLikeDict2": ("_QuoteLevel", "One level of a tick's quote book, as the library's tick payloads "
                                          "carry it"),
}

# What the record classes share, and what their op lists and properties add.
RECORD_DOC = ("A view of a storage dict (anything with get and item assignment) by key and by attribute, "
              "without a copy. record[key], and record.name for a name the class does not define, give "
              "storage.get(key): None when the key is absent. record[key] = value and record.name = value "
              "store into the storage; only record.data is the storage itself (assigning it replaces the "
              "storage).")
RECORD_OP_DOCS = {
    "str": "str() and repr() are the storage's own.",
    "contains": "key in record tests the storage's membership.",
    "no_iteration": "{iteration} TypeError.",
}
RECORD_PROPERTY_DOCS = {
    True: "Each property reads the storage key of its own name; its setter stores there.",
    False: "Each property reads the storage key of its own name; none has a setter, but assigning the "
           "attribute stores into the storage as for any other name.",
}
PROPERTY_DOC = 'storage.get("{key}"): None when the key is absent.'

# The record protocol's methods, by the Op names of records.cpp.
RECORD_OPS = {
    "init": "def __init__(self, data: _Storage) -> None: ...",
    "getitem": "def __getitem__(self, item: str) -> Any: ...",
    "setitem": "def __setitem__(self, item: str, value: object) -> None: ...",
    "contains": "def __contains__(self, key: object) -> bool: ...",
    "getattr": "def __getattr__(self, item: str) -> Any: ...",
    "setattr": "def __setattr__(self, item: str, value: object) -> None: ...",
    "str": "def __str__(self) -> str: ...",
    "repr": "def __repr__(self) -> str: ...",
    # Not an Op: the namespace entry that refuses iteration (see record_classes).
    "no_iteration": "__iter__: None",
}

HEADER = '''"""Types of the c_sdk extension module. Generated by tools/gen_stubs.py: do not edit."""

import functools as functools
import logging
import platform as platform
from collections.abc import Callable
from typing import Any, Protocol, TypedDict, TypeVar

_R = TypeVar("_R")

class _Storage(Protocol):
    """What a record needs of its storage: reads through get, writes by item."""

    def get(self, key: str, /) -> Any: ...
    def __setitem__(self, key: str, value: Any, /) -> None: ...

# Module globals. `f` exists once a receiver is registered.
CSDK_OPERATE_SUCCESS: int
qxsdklogger: logging.Logger
IS_PY2: bool
IS_PY3: bool
f: {receiver}
__test__: dict[str, object]

'''


class SourceError(Exception):
    pass


def strip_comments(text: str) -> str:
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def sources(root: pathlib.Path) -> dict[str, str]:
    """Every C++ source and header under src/c_sdk, comments removed."""
    base = root / "src" / "c_sdk"
    found = sorted(base.glob("**/*.cpp")) + sorted(base.glob("**/*.hpp"))
    return {str(p.relative_to(root)): strip_comments(p.read_text()) for p in found}


def split_top(text: str, sep: str = ",") -> list[str]:
    """Splits at `sep` outside <>, (), {} and string literals."""
    parts, depth, current, in_string = [], 0, [], False
    for i, ch in enumerate(text):
        if in_string:
            current.append(ch)
            if ch == '"' and text[i - 1] != "\\":
                in_string = False
            continue
        if ch == '"':
            in_string = True
        elif ch in "<({":
            depth += 1
        elif ch in ">)}":
            depth -= 1
        elif ch == sep and depth == 0:
            parts.append("".join(current).strip())
            current = []
            continue
        current.append(ch)
    if "".join(current).strip():
        parts.append("".join(current).strip())
    return parts


def balanced(text: str, start: int, open_ch: str = "<", close_ch: str = ">") -> int:
    """Index just past the bracket closing the one opened at text[start]."""
    depth, in_string = 0, False
    for i in range(start, len(text)):
        ch = text[i]
        if in_string:
            in_string = not (ch == '"' and text[i - 1] != "\\")
        elif ch == '"':
            in_string = True
        elif ch == open_ch:
            depth += 1
        elif ch == close_ch:
            depth -= 1
            if depth == 0:
                return i + 1
    raise SourceError("unbalanced %r at %d" % (open_ch, start))


def literal(text: str) -> str:
    """The value of one or more adjacent C string literals (UTF-8 source text kept as is)."""
    pieces = re.findall(r'"((?:[^"\\]|\\.)*)"', text)
    if not pieces:
        raise SourceError("not a string literal: %s" % text)
    return "".join(pieces).encode("latin-1", "backslashreplace").decode("unicode_escape")


def c_type(decl: str) -> str:
    return re.sub(r"\s+", " ", decl.replace("*", "* ")).replace(" *", "*").strip().replace("* ", "*")


# ---- Library header ----------------------------------------------------------------


def header_functions(root: pathlib.Path) -> dict[str, tuple[str, list[str]]]:
    """name -> (result C type, parameter C types) for each library function."""
    headers = sorted((root / "src" / "c_sdk").glob("**/qxsdk.h"))
    if len(headers) != 1:
        raise SourceError("expected one qxsdk.h under src/c_sdk, found %d" % len(headers))
    header = strip_comments(headers[0].read_text())
    found = {}
    for m in re.finditer(r"QXSDK_API\s+([\w\s\*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", header):
        result, name, params = m.group(1), m.group(2), m.group(3).strip()
        types = []
        if params and params != "void":
            for p in params.split(","):
                p = p.strip()
                types.append(c_type(re.sub(r"\b\w+$", "", p)) if not p.endswith("*") else c_type(p))
        found[name] = (c_type(result), types)
    return found


# ---- Docstrings ----------------------------------------------------------------------

DOC_WIDTH = 100


def wrap_text(text: str, indent: str, hanging: str = "") -> list[str]:
    return textwrap.wrap(text, DOC_WIDTH, initial_indent=indent, subsequent_indent=indent + hanging,
                         break_long_words=False, break_on_hyphens=False)


class Verbatim(str):
    """A docstring paragraph kept line for line (a doc string the module itself carries)."""


def render_doc(paragraphs: list[str], sections: list[tuple[str, list[tuple[str, str]]]], indent: str) -> str:
    """A docstring at `indent`: the paragraphs (the first opens the quotes), then each
    (title, [(key, text)]) section in the Google style editors show."""
    lines: list[str] = []
    for paragraph in paragraphs:
        if lines:
            lines.append("")
        if isinstance(paragraph, Verbatim):
            lines.extend(indent + line for line in paragraph.splitlines())
        else:
            lines.extend(wrap_text(paragraph, indent))
    for title, entries in sections:
        if not entries:
            continue
        lines += ["", indent + title + ":"]
        for key, text in entries:
            text = text if text.endswith(".") else text + "."
            lines.extend(wrap_text("%s: %s" % (key, text), indent + "    ", "    ") if key else
                         wrap_text(text, indent + "    "))
    for line in lines:
        if '"""' in line or "\\" in line:
            raise SourceError("docstring text cannot be quoted: %r" % line)
    lines[0] = indent + '"""' + lines[0][len(indent):]
    if len(lines) == 1 and not lines[0].endswith('"'):
        return lines[0] + '"""'
    return "\n".join(line.rstrip() for line in lines) + "\n" + indent + '"""'


def raises_entry(extra: list[str], suffix: str = "") -> tuple[str, str]:
    """The Raises entry of the argument errors: TypeError and what the conversions add."""
    names = ["TypeError"] + sorted(set(extra))
    return ", ".join(names), "a wrong call or argument, %s%s." % (BEFORE_CALL, suffix)


# ---- Binding rows ------------------------------------------------------------------


class Function:
    def __init__(self, name, params, style, result, origin, decorated=None, defaults=None, doc=None,
                 library=None):
        self.name = name
        self.params = params  # [(name, type)]
        self.style = style  # "none", "one" (positional only) or "keywords"
        self.result = result
        self.origin = origin
        self.decorated = decorated
        self.defaults = defaults or {}
        self.doc = doc  # the docstring, rendered at function level, or None
        self.library = library  # the library function called (None for the helpers)

    def render(self) -> str:
        args = []
        for pname, ptype in self.params:
            default = self.defaults.get(pname)
            args.append("%s: %s%s" % (pname, ptype, " = %s" % default if default is not None else ""))
        if self.style == "one" and args:
            args.append("/")
        head = "def %s(%s) -> %s:" % (self.name, ", ".join(args), self.result)
        return head + (" ..." if self.doc is None else "\n" + self.doc)


def style_of(count: int) -> str:
    return "none" if count == 0 else "one" if count == 1 else "keywords"


def typed_params(names: list[str], convs: list[str], decorated: bool, where: str) -> list[tuple[str, str]]:
    types: dict[int, str] = {}
    for conv in convs:
        m = re.fullmatch(r"(\w+)\s*<\s*(\d+)\s*>", conv)
        if not m:
            if conv.startswith("Fixed<"):
                continue
            raise SourceError("%s: unknown conversion %s" % (where, conv))
        tag, index = m.group(1), int(m.group(2))
        if tag not in CONVERSIONS:
            raise SourceError("%s: conversion %s has no Python type in gen_stubs.py" % (where, tag))
        python = CONVERSIONS[tag] or (TEXT_OR_STR if decorated else TEXT)
        if index in types:
            raise SourceError("%s: parameter %d converted twice" % (where, index))
        types[index] = python
    if sorted(types) != list(range(len(names))):
        raise SourceError("%s: conversions %s do not cover parameters %s" % (where, sorted(types), names))
    return [(n, types[i]) for i, n in enumerate(names)]


def library_conversions(convs: list[str], text: str, where: str) -> list[tuple[str, object]]:
    """(tag, parameter index) per conversion of a row, in library-argument order; a
    Fixed<name> gives ("Fixed", its value as C would write it), from the constant's
    definition in `text`."""
    found: list[tuple[str, object]] = []
    for conv in convs:
        m = re.fullmatch(r"(\w+)\s*<\s*(\w+)\s*>", conv)
        if not m:
            raise SourceError("%s: unknown conversion %s" % (where, conv))
        tag, arg = m.groups()
        if tag == "Fixed":
            value = arg
            if not re.fullmatch(r"-?\d+", arg):
                d = re.search(r"\bconstexpr\b[^;=]*\b%s\s*=\s*([^;]+);" % re.escape(arg), text)
                if not d:
                    raise SourceError("%s: value of Fixed<%s> not found" % (where, arg))
                value = d.group(1).strip()
            found.append(("Fixed", "NULL" if value == "nullptr" else value))
        else:
            found.append((tag, int(arg)))
    return found


def binding_doc(library: str, names: list[str], convs: list[tuple[str, object]], kind: str, c_result: str,
                decorated: bool) -> str:
    """The docstring of a binding made from a row, from the row's parts."""
    call_args: list[str] = []
    order: list[str] = []
    tags: dict[str, str] = {}
    for tag, arg in convs:
        if tag == "Fixed":
            call_args.append(str(arg))
            continue
        name = names[int(arg)]
        tags[name] = tag
        order.append(name)
        call_args += [name, name + "_len"] if tag == "Request" else [name]
    paragraphs = ["Calls %s(%s)." % (library, ", ".join(call_args + RESULT_OUTS.get(kind, [])))]
    if decorated:
        paragraphs.append("Bound through adapt_to_python3: every str argument is encoded as ASCII first.")
    accepts = ACCEPTS_STR if decorated else ACCEPTS
    params = [(name, CONVERSION_DOCS[tags[name]][0].format(name=name, accepts=accepts)) for name in names]
    returns, after_call = RESULT_DOCS[kind]
    returns = VOID_RESULT if kind == "ReturnNone" and c_result == "void" else returns.format(c=c_result)
    raises = []
    if names:
        extra = [e for name in names for e in CONVERSION_DOCS[tags[name]][1]]
        suffix = " (converted in the library's order: %s)" % ", ".join(order) if order != names else ""
        raises.append(raises_entry(extra, suffix=suffix))
        if decorated:
            raises.append(("UnicodeEncodeError", "a str argument that is not ASCII, %s" % BEFORE_CALL))
    else:
        raises.append(("TypeError", "any argument, %s" % BEFORE_CALL))
    raises += after_call
    return render_doc(paragraphs, [("Args", params), ("Returns", [("", returns)]), ("Raises", raises)], "    ")


def row_functions(text: str, path: str, header=None) -> list[Function]:
    """The functions of the Row<...>::make rows in `text`; given the library header
    (header_functions), each also gets its docstring."""
    found = []
    for m in re.finditer(r"\bRow\s*<", text):
        end = balanced(text, m.end() - 1)
        tail = re.match(r"\s*::\s*make\s*\(\s*(\w+)\s*\)", text[end:])
        if not tail:
            continue  # the template itself, not a row
        args = split_top(text[m.end() : end - 1])
        result, style, convs = args[1], args[2], args[3:]
        sm = re.fullmatch(r"Style\s*<(.*)>", style, flags=re.S)
        if not sm:
            raise SourceError("%s: no Style in row %s" % (path, args[:3]))
        raw_style = split_top(sm.group(1))
        if not raw_style[0].startswith('"'):
            continue  # a row inside a template (request_binding): its instances are the REQUEST rows
        style_args = [literal(a) for a in raw_style]
        name, names = style_args[0], style_args[1:]
        if result not in RESULTS:
            raise SourceError("%s: result %s of %s has no Python type in gen_stubs.py" % (path, result, name))
        decorated = {"decorated": True, "plain": False}[tail.group(1)]
        params = typed_params(names, convs, decorated, "%s: %s" % (path, name))
        fn = Function(name, params, style_of(len(names)), RESULTS[result], path, decorated, library=args[0])
        if header is not None:
            if fn.library not in header:
                raise SourceError("%s: %s is not declared in qxsdk.h" % (path, fn.library))
            conversions = library_conversions(convs, text, "%s: %s" % (path, name))
            fn.doc = binding_doc(fn.library, names, conversions, result, header[fn.library][0], decorated)
        found.append(fn)
    return found


def request_functions(text: str, path: str, header) -> list[Function]:
    found = []
    text = re.sub(r"^\s*#\s*define[^\n]*", "", text, flags=re.M)  # the macro itself
    for m in re.finditer(r"\bREQUEST\s*\(\s*(\w+)\s*,\s*(\w+)\s*,\s*(\w+)\s*\)", text):
        name, fn, decoration = m.groups()
        if fn not in header:
            raise SourceError("%s: %s is not declared in qxsdk.h" % (path, fn))
        result, ctypes = header[fn]
        decorated = {"decorated": True, "plain": False}[decoration]
        request = TEXT_OR_STR if decorated else TEXT
        # The three shapes request_binding accepts.
        if result == "int" and ctypes == ["const char*", "int", "char**", "int*"]:
            params, ret, kind = [("req", request)], PAIR, "ReturnPair"
        elif result == "int" and ctypes == ["const char*", "int"]:
            params, ret, kind = [("req", request)], "int", "ReturnInt"
        elif result == "int" and ctypes == ["char**", "int*"]:
            params, ret, kind = [], PAIR, "ReturnPair"
        else:
            raise SourceError("%s: %s is not a serialised-request function: %s %s" % (path, fn, result, ctypes))
        doc = binding_doc(fn, [p for p, _ in params], [("Request", 0)] if params else [], kind, result, decorated)
        found.append(Function(name, params, style_of(len(params)), ret, path, decorated, doc=doc, library=fn))
    return found


def signature_texts(text: str) -> dict[str, str]:
    """Function name -> the signature text returned by its `*_signature()` function."""
    found = {}
    for m in re.finditer(r"const char\*\s+(\w+)\s*\(\s*\)\s*\{\s*return\s+((?:\"(?:[^\"\\]|\\.)*\"\s*)+);", text):
        found[m.group(1)] = literal(m.group(2))
    return found


def handwritten_functions(text: str, path: str, sigs: dict[str, str]) -> list[Function]:
    """Table entries {"name", impl, decorated, signature} written without a Row; `sigs`
    holds the signature texts of every source."""
    found = []
    for m in re.finditer(r'\{\s*"(\w+)"\s*,\s*(\w+)\s*,\s*(true|false)\s*,\s*(\w+)\s*\}', text):
        name, _, decorated, sig_fn = m.groups()
        if sig_fn not in sigs:
            raise SourceError("%s: signature function %s of %s not found" % (path, sig_fn, name))
        sm = re.match(r"(\w+)\((.*?)\)\n--\n", sigs[sig_fn])
        if not sm or sm.group(1) != name:
            raise SourceError("%s: signature text of %s is %r" % (path, name, sigs[sig_fn]))
        if name not in HELPERS:
            raise SourceError("%s: helper %s has no types in gen_stubs.py" % (path, name))
        types, result = HELPERS[name]
        raw = [p.strip() for p in sm.group(2).split(",") if p.strip()]
        style = "keywords"
        if raw and raw[-1] == "/":
            raw, style = raw[:-1], "one"
        names, defaults = [], {}
        for p in raw:
            pname, _, default = p.partition("=")
            names.append(pname)
            if default:
                defaults[pname] = "..."
        if set(names) != set(types):
            raise SourceError("%s: %s takes %s, gen_stubs.py types %s" % (path, name, names, sorted(types)))
        if not names:
            style = "none"
        params = [(n, types[n]) for n in names]
        if name not in HELPER_DOCS:
            raise SourceError("%s: helper %s has no description in gen_stubs.py" % (path, name))
        own_doc = sigs[sig_fn][sm.end():].strip()  # what the module's __doc__ holds
        doc = render_doc([p for p in (Verbatim(own_doc), HELPER_DOCS[name]) if p], [], "    ")
        found.append(Function(name, params, style, result, path, decorated == "true", defaults, doc))
    return found


def namespace_order(texts: dict[str, str]) -> list[str]:
    for text in texts.values():
        m = re.search(r"function_order\[\]\s*=\s*\{(.*?)\};", text, flags=re.S)
        if m:
            return re.findall(r'"(\w+)"', m.group(1))
    raise SourceError("no function_order table found")


# ---- Direct function objects ---------------------------------------------------------


def direct_functions(texts: dict[str, str]) -> list[Function]:
    adapters, members = {}, []
    for path, text in texts.items():
        for m in re.finditer(r"using\s+(\w+)\s*=\s*Adapter\s*<", text):
            end = balanced(text, m.end() - 1)
            args = split_top(text[m.end() : end - 1])
            pm = re.fullmatch(r"(.+?)\(\s*\*\s*\)\s*\((.*)\)", args[0], flags=re.S)
            if not pm:
                raise SourceError("%s: adapter %s has no function type" % (path, m.group(1)))
            result = c_type(pm.group(1))
            ctypes = [c_type(a) for a in split_top(pm.group(2))]
            names = [literal(a) for a in args[2:]]
            if len(names) != len(ctypes):
                raise SourceError("%s: adapter %s names %d of %d parameters" % (path, m.group(1), len(names), len(ctypes)))
            for t in ctypes + [result]:
                if t not in C_ARGS and t not in C_RESULTS:
                    raise SourceError("%s: C type %s has no Python type in gen_stubs.py" % (path, t))
            params = [(n, C_ARGS[t]) for n, t in zip(names, ctypes)]
            own_doc = literal(args[1])  # the object's __doc__
            adapters[m.group(1)] = (params, C_RESULTS[result], path, own_doc, ctypes, result)
        for m in re.finditer(r'\{\s*"(\w+)"\s*,\s*make_direct\s*<\s*(\w+)\s*,\s*(\w+)\s*>\s*\}', text):
            members.append((m.group(1), m.group(2), m.group(3), path))
    found = []
    for name, adapter, library, path in members:
        if adapter not in adapters:
            raise SourceError("%s: adapter %s of %s not found" % (path, adapter, name))
        params, result, _, own_doc, ctypes, c_result = adapters[adapter]
        names = [p for p, _ in params]
        entries, extra = [], []
        for pname, ctype in zip(names, ctypes):
            text, errors = CONVERSION_DOCS[C_ARG_CONVERSIONS[ctype]]
            entries.append((pname, text.format(name=pname, accepts=ACCEPTS)))
            extra += errors
        raises = [raises_entry(extra, suffix="; call errors name wrap")] if names else [
            ("TypeError", "any argument, %s; the message names wrap" % BEFORE_CALL)]
        summary = "Calls %s(%s) directly; the object's __name__ is wrap." % (library, ", ".join(names))
        sections = [("Args", entries), ("Returns", [("", C_RESULT_DOCS[c_result])]), ("Raises", raises)]
        doc = render_doc([Verbatim(own_doc), summary], sections, "    ")
        found.append(Function(name, params, style_of(len(params)), result, path, doc=doc, library=library))
    return found


# ---- Records ---------------------------------------------------------------------------


def record_classes(texts: dict[str, str]) -> list[tuple[str, list[str], bool, list[str]]]:
    """(class name, protocol ops in order, settable, property names) per record class."""
    for path, text in texts.items():
        if "struct Kind" not in text:
            continue
        op_lists = {}
        for m in re.finditer(r"std::array<Op,\s*\d+>\s+(\w+)\s*\{(.*?)\};", text, flags=re.S):
            op_lists[m.group(1)] = re.findall(r"Op::(\w+)", m.group(2))
        kinds = {}
        for m in re.finditer(r"using\s+(\w+)\s*=\s*Kind\s*<", text):
            end = balanced(text, m.end() - 1)
            args = split_top(text[m.end() : end - 1])
            name, ops, settable = literal(args[0]), args[1], args[2]
            if ops not in op_lists:
                raise SourceError("%s: op list %s of %s not found" % (path, ops, name))
            kinds[m.group(1)] = (name, list(op_lists[ops]), settable == "true", [literal(a) for a in args[3:]])
        # Every class stores `__iter__ = None` in its namespace, so that iteration and
        # membership end with TypeError in subclasses too.
        if re.search(r"PyDict_SetItem\(\s*dict\s*,\s*names\.__iter__\s*,\s*Py_None\s*\)", text):
            for kind in kinds.values():
                kind[1].append("no_iteration")
        order = re.findall(r'\{\s*"(\w+)"\s*,\s*create\s*<\s*(\w+)\s*>\s*\}', text)
        if not order:
            raise SourceError("%s: record class table not found" % path)
        return [kinds[kind] for _, kind in order]
    raise SourceError("no record Kind list found under src/c_sdk")


def field_type(prop: str, owner: str) -> str:
    if prop not in FIELDS:
        raise SourceError("record field %s of %s has no type in gen_stubs.py" % (prop, owner))
    return FIELDS[prop]


def element_fields(records, dict_name: str) -> list[str]:
    """"Record.field" for each record property whose elements are `dict_name`."""
    return ["%s.%s" % (rec[0], prop) for rec in records for prop in rec[3]
            if re.search(r"\b%s\b" % dict_name, field_type(prop, rec[0]))]


def render_element_dict(records, record: tuple[str, list[str], bool, list[str]]) -> str:
    """The TypedDict of a record that views one element of another record's field."""
    name, _, _, props = record
    dict_name, text = ELEMENT_DICTS[name]
    holders = element_fields(records, dict_name)
    if not holders:
        raise SourceError("no record field holds %s elements" % dict_name)
    doc = "%s: an element of %s, which %s views by attribute." % (text, " or ".join(holders), name)
    lines = ["class %s(TypedDict):" % dict_name, render_doc([doc], [], "    ")]
    lines += ["    %s: %s" % (prop, field_type(prop, name)) for prop in props]
    return "\n".join(lines) + "\n"


def record_doc(records, name: str, ops: list[str], settable: bool, props: list[str]) -> str:
    iteration = "Iteration raises" if "contains" in ops else "Iteration and `in` raise"
    protocol = [RECORD_OP_DOCS[op].format(iteration=iteration)
                for op in ops if op in RECORD_OP_DOCS]
    paragraphs = [RECORD_DOC, " ".join(protocol)]
    if props:
        paragraphs.append(RECORD_PROPERTY_DOCS[settable])
    if name in ELEMENT_DICTS:
        dict_name = ELEMENT_DICTS[name][0]
        paragraphs.append("Its storage may be one element of %s (a %s)."
                          % (" or ".join(element_fields(records, dict_name)), dict_name))
    return render_doc([p for p in paragraphs if p], [], "    ")


def render_record(name: str, ops: list[str], settable: bool, props: list[str], records=None) -> str:
    """The stub of one record class; given all records (record_classes), with docstrings."""
    storage = "_Storage" + (" | " + ELEMENT_DICTS[name][0] if name in ELEMENT_DICTS else "")
    lines = ["class %s:" % name]
    if records is not None:
        lines.append(record_doc(records, name, ops, settable, props))
    lines.append("    data: %s" % storage)
    for op in ops:
        if op not in RECORD_OPS:
            raise SourceError("record op %s has no stub in gen_stubs.py" % op)
        lines.append("    " + RECORD_OPS[op].replace("data: _Storage", "data: " + storage))
    for prop in props:
        value = field_type(prop, name) + " | None"
        lines.append("    @property")
        if records is None:
            lines.append("    def %s(self) -> %s: ..." % (prop, value))
        else:
            lines.append("    def %s(self) -> %s:" % (prop, value))
            lines.append(render_doc([PROPERTY_DOC.format(key=prop)], [], "        "))
        if settable:
            lines.append("    @%s.setter" % prop)
            lines.append("    def %s(self, value: %s) -> None: ..." % (prop, value))
    return "\n".join(lines) + "\n"


# ---- The stub ------------------------------------------------------------------------


def collect(root: pathlib.Path) -> tuple[list[tuple[str, list[str], bool, list[str]]], list[Function], list[Function]]:
    texts = sources(root)
    header = header_functions(root)
    sigs = {name: sig for text in texts.values() for name, sig in signature_texts(text).items()}
    functions: dict[str, Function] = {}
    for path, text in texts.items():
        found = row_functions(text, path, header) + request_functions(text, path, header)
        for fn in found + handwritten_functions(text, path, sigs):
            if fn.name in functions:
                raise SourceError("%s bound twice: %s and %s" % (fn.name, functions[fn.name].origin, fn.origin))
            functions[fn.name] = fn
    order = namespace_order(texts)
    missing = sorted(set(functions) - set(order))
    unknown = [n for n in order if n not in functions]
    if missing or unknown:
        raise SourceError("namespace order and tables disagree: unplaced %s, unbound %s" % (missing, unknown))
    return record_classes(texts), [functions[n] for n in order], direct_functions(texts)


def generate(root: pathlib.Path = ROOT) -> str:
    """The stub text for the sources under `root`; SourceError when they cannot be read."""
    records, functions, directs = collect(root)
    out = [HEADER.format(receiver=RECEIVER)]
    out.append("# Record classes and the storage their elements have\n\n")
    for rec in records:
        if rec[0] in ELEMENT_DICTS:
            out.append(render_element_dict(records, rec) + "\n")
    for rec in records:
        out.append(render_record(*rec, records=records) + "\n")
    out.append("# Module functions, in namespace order\n\n")
    out.extend(fn.render() + "\n" for fn in functions)
    out.append("\n# Library functions exposed directly (each object reports the name `wrap`)\n")
    out.extend(fn.render() + "\n" for fn in directs)
    return "".join(out)


def main() -> int:
    return generated.main("gen_stubs", __doc__.splitlines()[0], STUB, generate, (SourceError,))


if __name__ == "__main__":
    sys.exit(main())
