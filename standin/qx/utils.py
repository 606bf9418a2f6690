"""Utilities of the host package."""

import logging

# Logger through which c_sdk reports failed library calls.
qxsdklogger = logging.getLogger("qxsdk")
