"""pytest plugin (entry point pytest11): the `qxsdk` fixture.

Registering the fixture activates nothing; only a test that uses it does.
"""

from __future__ import annotations

from typing import Iterator

import pytest

from . import StandIn, activate


@pytest.fixture
def qxsdk() -> Iterator[StandIn]:
    """The activated stand-in, reset before and after the test."""
    standin = activate()
    standin.reset()
    yield standin
    standin.reset()
