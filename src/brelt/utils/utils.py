"""Small helpers shared by the brelt packages."""

import datetime

__all__ = ["get_time"]

#: get_time() -> datetime.datetime
#:
#: The current local date and time, ``datetime.datetime.now()``.
#:
#: The history takes the time of every command it records, so this is the
#: method itself rather than a function that calls it: a Python frame around
#: it would add half as much again to each call.
get_time = datetime.datetime.now
