"""Constants shared with the trading library."""

# Status the library returns for a successful operation.
CSDK_OPERATE_SUCCESS = 0
