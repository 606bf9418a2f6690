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
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
HEADER = os.path.join(ROOT, "src", "c_sdk", "sdk", "qxsdk.h")
# One build per C library: a library built in a root of a newer Debian (tools/sid_root.sh)
# may need symbols the host's C library lacks.
OUT_DIR = os.path.join(ROOT, "build", "nullsdk", "-".join(platform.libc_ver()) or "libc")

DECLARATION = re.compile(r"QXSDK_API\s+([\w\s\*]+?)\s*\b(\w+)\s*\(([^)]*)\);", re.S)

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


def declarations(header_text):
    """(return type, name, [(type, name), ...]) for every library function."""
    for ret, name, params in DECLARATION.findall(header_text):
        params = " ".join(params.split())
        parsed = []
        if params and params != "void":
            for param in params.split(","):
                param = param.strip()
                m = re.match(r"(.*?)(\w+)$", param)
                parsed.append((m.group(1).strip(), m.group(2)))
        yield " ".join(ret.split()), name, parsed


def body(ret, name, params):
    lines = []
    names = [p for _, p in params]
    for ptype, pname in params:
        if ptype.replace(" ", "") == "char**":
            lines.append("    if (%s) *%s = response_data;" % (pname, pname))
        elif ptype.replace(" ", "") == "int*":
            lines.append("    if (%s) *%s = response_length;" % (pname, pname))
        else:
            lines.append("    (void)%s;" % pname)
    if name == "qxi_set_event_callback_pb":
        lines.append("    event_callback = %s;" % names[0])
    if name == "qxi_poll":
        lines.append("    for (; pending > 0; --pending)")
        lines.append("        if (event_callback) event_callback(event_text, event_payload, event_length);")
    if ret == "void":
        pass
    elif ret.replace(" ", "") == "constchar*":
        lines.append('    return "";')
    else:
        lines.append("    return 0;")
    return lines


def generate():
    with open(HEADER) as f:
        header_text = f.read()
    out = ['#include "qxsdk.h"', PUMP, 'extern "C" {']
    count = 0
    for ret, name, params in declarations(header_text):
        signature = ", ".join("%s %s" % p for p in params) or "void"
        out.append("%s %s(%s) {" % (ret, name, signature))
        out.extend(body(ret, name, params))
        out.append("}")
        count += 1
    out.append('}  // extern "C"')
    return "\n".join(out) + "\n", count


def build():
    """Builds the library (when the header is newer) and returns its path."""
    library = os.path.join(OUT_DIR, "libqxsdk.so")
    if os.path.exists(library) and os.path.getmtime(library) >= max(
        os.path.getmtime(HEADER), os.path.getmtime(__file__)
    ):
        return library
    os.makedirs(OUT_DIR, exist_ok=True)
    source, count = generate()
    if count != 187:
        raise RuntimeError("expected 187 library functions in qxsdk.h, found %d" % count)
    cpp = os.path.join(OUT_DIR, "nullsdk.cpp")
    with open(cpp, "w") as f:
        f.write(source)
    subprocess.check_call(
        ["g++", "-std=c++20", "-O2", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
         "-I", os.path.dirname(HEADER), "-Wl,-soname,libqxsdk.so", "-o", library, cpp]
    )
    return library


if __name__ == "__main__":
    print(build())
    sys.exit(0)
