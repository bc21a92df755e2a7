"""Shared fixtures: real Tcl interpreters, never mocks."""

import tkinter

import pytest


@pytest.fixture(scope="session")
def tk():
    """The Tcl application object of one interpreter shared by a test run."""
    return tkinter.Tcl().tk
