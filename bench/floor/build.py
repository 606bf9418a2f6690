"""Builds the hand-written floor extension (bench/floor/floor.c) for the running
interpreter, linked against the do-nothing library, and returns its directory.

    python3 bench/floor/build.py      # prints the directory holding qxfloor

Compiler and flags are the interpreter's own (sysconfig), as an extension build uses.
"""

import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def _load(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


nullsdk_build = _load("nullsdk_build", os.path.join(ROOT, "bench", "nullsdk", "build.py"))


def build():
    library = nullsdk_build.build()
    # Per interpreter and C library, as the do-nothing library (a root's 3.14 is not the host's).
    tag = sys.implementation.cache_tag
    out_dir = os.path.join(ROOT, "build", "floor", tag, os.path.basename(os.path.dirname(library)))
    target = os.path.join(out_dir, "qxfloor" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = os.path.join(HERE, "floor.c")
    if os.path.exists(target) and os.path.getmtime(target) >= max(
        os.path.getmtime(source), os.path.getmtime(library), os.path.getmtime(__file__)
    ):
        return out_dir
    os.makedirs(out_dir, exist_ok=True)
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    cflags = shlex.split(sysconfig.get_config_var("CFLAGS") or "")
    cflags = [f for f in cflags if not f.startswith("-O")] + ["-O2"]
    ldshared = shlex.split(sysconfig.get_config_var("LDSHARED") or "cc -shared")
    include = sysconfig.get_paths()["include"]
    header_dir = os.path.join(ROOT, "src", "c_sdk", "sdk")
    obj = os.path.join(out_dir, "floor.o")
    subprocess.check_call(cc + cflags + ["-fPIC", "-I", include, "-I", header_dir, "-c", source, "-o", obj])
    # Linked by the library's soname: the process that already loaded the do-nothing
    # library by its path satisfies this dependency with it.
    subprocess.check_call(ldshared[:1] + ["-shared", obj, "-L", os.path.dirname(library), "-lqxsdk",
                                          "-o", target])
    return out_dir


if __name__ == "__main__":
    print(build())
