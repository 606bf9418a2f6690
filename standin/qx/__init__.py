"""Stand-in for the host trading package: only what the c_sdk module imports."""
