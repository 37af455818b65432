# Sourced by the scripts: the Python versions the package supports and
# tests, the first one being the one the example and the documentation use.
ZARN_PYTHONS=(3.12 3.13 3.14)
