"""Where the appduck program is: an explicit path, then the APPDUCK
environment variable, then PATH, then where the packages install it. An
explicit path or APPDUCK is the user's choice: when it does not serve,
nothing else is tried."""
import os
import shutil
import sys
from typing import List, Optional, Tuple

from ._errors import AppduckNotFound

_NAME = "appduck.exe" if sys.platform == "win32" else "appduck"


def _installed_places() -> List[str]:
    """The .deb's program, or the Windows zip's beside this package."""
    here = os.path.dirname(os.path.abspath(__file__))
    if sys.platform == "win32":
        # The zip: appduck.exe at its top, this package in python/appduck.
        return [os.path.join(here, "..", "..", _NAME), os.path.join(here, "..", _NAME)]
    return ["/usr/bin/appduck", "/usr/local/bin/appduck"]


def _usable(path: str) -> Optional[str]:
    """Why the path does not serve, or None when it does."""
    if not os.path.exists(path):
        return "no such file"
    if os.path.isdir(path):
        return "a directory"
    if not os.access(path, os.X_OK):
        return "not executable"
    return None


def find_appduck(path: Optional[str] = None) -> str:
    """The program's path; AppduckNotFound with every place tried."""
    tried: List[Tuple[str, str]] = []
    chosen = path if path is not None else os.environ.get("APPDUCK") or None
    if chosen is not None:
        why = _usable(chosen)
        if why is None:
            return os.path.abspath(chosen)
        raise AppduckNotFound([(chosen if path is not None else "APPDUCK=" + chosen, why)])
    candidates = []
    on_path = shutil.which(_NAME)
    if on_path:
        candidates.append(on_path)
    else:
        tried.append(("PATH", "no %s on it" % _NAME))
    candidates += _installed_places()
    for candidate in candidates:
        why = _usable(candidate)
        if why is None:
            return os.path.abspath(candidate)
        tried.append((candidate, why))
    raise AppduckNotFound(tried)
