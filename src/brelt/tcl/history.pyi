"""Implements the Tcl history mechanism (tcl.History): a bounded,
time-stamped record of the commands sent through an interpreter, with
markers."""

import logging
import re as re
from collections import deque as deque
from collections.abc import Iterable, Iterator
from datetime import datetime
from typing import ClassVar, overload

from brelt.utils.utils import get_time as get_time

log: logging.Logger

class Entry:
    """Tcl Historical Entry: a command line with its timestamp."""

    timestamp: datetime
    api: str
    def __init__(self, api: str | Iterable[str]) -> None: ...

class History:
    """The bounded history of the Tcl calls made through an interpreter."""

    __MAX_HISTORY__: ClassVar[int]
    __history__: deque[Entry]
    __markers__: dict[str, deque[Entry]]
    __activeMarkers__: list[str]
    enabled: bool
    def __init__(self, max_history: int | None = 9999) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def append(self, item: str | Iterable[str]) -> None: ...
    def clear(self, marker: str | None = None, clear_all: bool = False) -> None: ...
    def start_marker(self, marker: str) -> None: ...
    def end_marker(self, marker: str) -> None: ...
    def filter(
        self, marker: str | None = None, count: int = 20, regex: str | re.Pattern[str] | None = None
    ) -> list[Entry]: ...
    def to_tcl(self, marker: str | None = None) -> str:
        """The recorded commands as a Tcl script that replays them."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> Entry: ...
    @overload
    def __getitem__(self, index: slice) -> list[Entry]: ...
    def __iter__(self) -> Iterator[Entry]: ...
    def __reversed__(self) -> Iterator[Entry]: ...
