"""The library header as data, and the C text of definitions derived from it.

One reading of src/c_sdk/sdk/qxsdk.h for every generator that defines the library's
functions: the do-nothing library (bench/nullsdk/build.py) and the tap's forwarding
functions (tools/gen_tap.py). Each gives the body of a function; the signature, the
order and the set of functions come from here.
"""

from __future__ import annotations

import os
import re
from typing import Callable, Iterable, List, NamedTuple, Sequence

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADER = os.path.join(ROOT, "src", "c_sdk", "sdk", "qxsdk.h")
FUNCTION_COUNT = 187

_DECLARATION = re.compile(r"QXSDK_API\s+([\w\s\*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", re.S)
_COMMENT = re.compile(r"/\*.*?\*/|//[^\n]*", re.S)


class Param(NamedTuple):
    type: str  # C type with single spaces, e.g. "const char*", "char**", "int*"
    name: str

    @property
    def compact(self) -> str:
        """The type without spaces ("constchar*"), for comparisons."""
        return self.type.replace(" ", "")


class Function(NamedTuple):
    ret: str
    name: str
    params: Sequence[Param]

    @property
    def signature(self) -> str:
        """"int qxi_x(const char* req, int req_len)", as the header declares it."""
        args = ", ".join("%s %s" % p for p in self.params) or "void"
        return "%s %s(%s)" % (self.ret, self.name, args)

    @property
    def compact_ret(self) -> str:
        return self.ret.replace(" ", "")


def _c_type(text: str) -> str:
    text = " ".join(text.replace("*", " * ").split())
    return text.replace(" *", "*")


def parse(header_text: str) -> List[Function]:
    """Every library function of a header, in declaration order."""
    functions = []
    for ret, name, params in _DECLARATION.findall(_COMMENT.sub(" ", header_text)):
        params = " ".join(params.split())
        parsed = []
        if params and params != "void":
            for param in params.split(","):
                m = re.match(r"(.*?)(\w+)$", param.strip())
                if m is None:
                    raise ValueError("cannot read parameter %r of %s" % (param, name))
                parsed.append(Param(_c_type(m.group(1)), m.group(2)))
        functions.append(Function(_c_type(ret), name, tuple(parsed)))
    return functions


def read(path: str = HEADER) -> List[Function]:
    """The functions of the library header; fails unless it declares all of them."""
    with open(path) as f:
        functions = parse(f.read())
    if len(functions) != FUNCTION_COUNT:
        raise RuntimeError("expected %d library functions in %s, found %d" % (FUNCTION_COUNT, path, len(functions)))
    return functions


def definitions(functions: Iterable[Function], body: Callable[[Function], List[str]], prefix: str = "") -> List[str]:
    """C++ definitions of the functions, each `prefix signature {`, its body lines, `}`."""
    out = []
    for function in functions:
        out.append("%s%s {" % (prefix, function.signature))
        out.extend(body(function))
        out.append("}")
    return out
