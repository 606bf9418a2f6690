"""Builds a libqxsdk.so whose functions do nothing: the floor for benchmarks.

Every function of the library header is defined from its declaration: numbers come
back as 0, texts as "", responses as an empty buffer, and nothing is recorded. The
one addition is an event pump, so that event delivery can be measured without any
library work around it:

    nullsdk_queue_events(text, payload, payload_len, count)

makes the next qxi_poll() call the registered callback `count` times with that event, and

    nullsdk_set_response(data, length)

makes every function with a response hand out that buffer (the caller keeps it alive;
a null `data` restores the empty response).

Built on demand (never installed, never part of a package):
    python3 bench/nullsdk/build.py          # prints the path of the library
"""

import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import qxsdk_header  # noqa: E402

HEADER = qxsdk_header.HEADER
# One build per C library: a library built in a root of a newer Debian (tools/sid_root.sh)
# may need symbols the host's C library lacks.
OUT_DIR = os.path.join(ROOT, "build", "nullsdk", "-".join(platform.libc_ver()) or "libc")

PUMP = r"""
namespace {
qxi_event_callback event_callback = nullptr;
const char* event_text = "";
const char* event_payload = "";
int event_length = 0;
long long pending = 0;
char* response_data = const_cast<char*>("");
int response_length = 0;
}  // namespace

extern "C" __attribute__((visibility("default"))) void nullsdk_set_response(const char* data, int length) {
    response_data = const_cast<char*>(data ? data : "");
    response_length = data ? length : 0;
}

extern "C" __attribute__((visibility("default"))) void nullsdk_queue_events(const char* text, const char* payload,
                                                                          int payload_len, long long count) {
    event_text = text;
    event_payload = payload;
    event_length = payload_len;
    pending = count;
}
"""


def body(function):
    lines = []
    for param in function.params:
        if param.compact == "char**":
            lines.append("    if (%s) *%s = response_data;" % (param.name, param.name))
        elif param.compact == "int*":
            lines.append("    if (%s) *%s = response_length;" % (param.name, param.name))
        else:
            lines.append("    (void)%s;" % param.name)
    if function.name == "qxi_set_event_callback_pb":
        lines.append("    event_callback = %s;" % function.params[0].name)
    if function.name == "qxi_poll":
        lines.append("    for (; pending > 0; --pending)")
        lines.append("        if (event_callback) event_callback(event_text, event_payload, event_length);")
    if function.ret == "void":
        pass
    elif function.compact_ret == "constchar*":
        lines.append('    return "";')
    else:
        lines.append("    return 0;")
    return lines


def generate(functions=None, bodies=None, extra=""):
    """(the library's C++ source, the number of functions defined). `bodies` (name ->
    lines) replaces the bodies of some functions, `extra` is code put before them: the
    tests build a library whose functions call each other from it."""
    functions = qxsdk_header.read() if functions is None else functions
    bodies = bodies or {}
    out = ['#include "qxsdk.h"', PUMP, extra, 'extern "C" {']
    out.extend(qxsdk_header.definitions(functions, lambda f: bodies.get(f.name) or body(f)))
    out.append('}  // extern "C"')
    return "\n".join(out) + "\n", len(functions)


def compile_library(source, library):
    """Compiles C++ source defining the library's functions into `library`."""
    cpp = os.path.splitext(library)[0] + ".cpp"
    with open(cpp, "w") as f:
        f.write(source)
    subprocess.check_call(
        ["g++", "-std=c++20", "-O2", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
         "-I", os.path.dirname(HEADER), "-Wl,-soname,libqxsdk.so", "-o", library, cpp]
    )
    return library


def build():
    """Builds the library (when the header is newer) and returns its path."""
    library = os.path.join(OUT_DIR, "libqxsdk.so")
    if os.path.exists(library) and os.path.getmtime(library) >= max(
        os.path.getmtime(HEADER), os.path.getmtime(__file__), os.path.getmtime(qxsdk_header.__file__)
    ):
        return library
    os.makedirs(OUT_DIR, exist_ok=True)
    compile_library(generate()[0], library)
    return library


if __name__ == "__main__":
    print(build())
    sys.exit(0)
