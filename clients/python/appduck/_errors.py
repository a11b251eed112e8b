"""What can go wrong when talking to appduck."""
from typing import List, Optional, Tuple


class AppduckError(Exception):
    """Anything the client could not do."""


class AppduckNotFound(AppduckError, FileNotFoundError):
    """The program was found nowhere: `tried` holds each path looked at and
    why it did not serve."""

    def __init__(self, tried: List[Tuple[str, str]]):
        self.tried = tried
        places = "; ".join("%s (%s)" % (path, why) for path, why in tried) or "nowhere"
        super().__init__("appduck was not found: tried %s" % places)


class AppduckGone(AppduckError):
    """appduck ended; `status` is its exit status when known."""

    def __init__(self, status: Optional[int]):
        self.status = status
        super().__init__("appduck is gone (exit status %s)" % status)


class AppduckTimeout(AppduckError, TimeoutError):
    """No reply within the time given. Its reply, should it come later, is
    dropped: it never reaches another call."""
