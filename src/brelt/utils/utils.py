"""Small helpers shared by the brelt packages."""

import datetime

__all__ = ["get_time"]


def get_time():
    """Return the current local date and time, ``datetime.datetime.now()``."""
    return datetime.datetime.now()
