"""The module's shared object exports its initialisation function and nothing else."""

import shutil
import subprocess

import pytest

import c_sdk


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", c_sdk.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split() for line in listing.stdout.splitlines() if line.strip()]
    # Lines read "address type name".
    assert [(kind, name) for _, kind, name in symbols] == [("T", "PyInit_c_sdk")]
