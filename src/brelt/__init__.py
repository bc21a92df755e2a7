"""brelt: Python tools around a Tcl interpreter."""
