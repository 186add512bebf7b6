"""Observation series of the QZDATA database as pandas tables."""
from importlib import metadata as _metadata

try:
    __version__ = _metadata.version("velmora")
except _metadata.PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"
del _metadata
