"""The version of brelt.tcl, written here only: the build reads the wheel's
and sdist's metadata from this line, the package and its command line
report it, the documentation shows it."""

__version__ = "0.1.0"
