"""Pages fetched by a local browser server ("webkit" engine), collected on the calling thread."""
from typing import Mapping, Union

Text = Union[str, bytes]

class Result:
    """A page as the server returned it. Read-only."""
    def __init__(self, _url: Text, _lastModified: Text, _src: Text, _snapshot: Union[bytes, str, None],
                 _snapshotSize: int) -> None: ...
    @property
    def url(self) -> str: ...
    @property
    def lastModified(self) -> str: ...
    @property
    def src(self) -> str: ...
    @property
    def snapshot(self) -> bytes: ...

def ConfigLogger(name: Text = "", logLevel: Text = "INFO", logFile: Text = "") -> bool:
    """Re-targets a log4cplus logger (root for "") to the console (logFile "") or a file."""
    ...

def Pop(url: Text, ticket: Text) -> Result:
    """Waits for the answer to this thread's Push. Raises RuntimeError ("TIMEOUT", ...)."""
    ...

def Push(url: Text, wait: bool = True, pid: int = 0,
         options: Mapping[str, Union[bool, int, Text]] = {}) -> str:
    """Submits a page request to the server with process id `pid`; returns the ticket, "" on failure."""
    ...
