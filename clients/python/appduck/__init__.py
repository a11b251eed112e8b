"""A client of appduck, the program that lowers ("ducks") the other
applications' sound while yours speaks, and brings it back exactly.

    with appduck.ducked(20, "*", hold=1.0):
        speak("Hello.")
"""
from ._client import Appduck, ducked
from ._async import AsyncAppduck
from ._errors import AppduckError, AppduckGone, AppduckNotFound, AppduckTimeout
from ._find import find_appduck

__all__ = ["Appduck", "AsyncAppduck", "AppduckError", "AppduckGone", "AppduckNotFound",
           "AppduckTimeout", "ducked", "find_appduck"]
__version__ = "0.2.0"
