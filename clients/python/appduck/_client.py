"""appduck driven through pipes: one command line, one reply line.

Replies are read on a thread of their own (not with select, which Windows
pipes lack) and paired with commands in order, so that a reply that comes
after its call gave up waiting is dropped, never handed to the next call.
"""
import atexit
import contextlib
import json
import subprocess
import sys
import threading
import time
import queue
import warnings
from typing import Any, Dict, Iterator, List, Optional

from ._errors import AppduckGone, AppduckNotFound, AppduckTimeout
from ._find import find_appduck

_END = None  # the end of appduck's output, once read


class Appduck:
    """One appduck process, started here and ended by close() (or by
    leaving it as a context manager): what it ducked comes back then, and
    when this process dies too."""

    def __init__(self, path: Optional[str] = None, timeout: float = 15.0):
        self.timeout = timeout
        self.path = find_appduck(path)
        flags = subprocess.CREATE_NO_WINDOW if sys.platform == "win32" else 0
        try:
            self._process = subprocess.Popen([self.path], stdin=subprocess.PIPE,
                                             stdout=subprocess.PIPE, bufsize=0,
                                             creationflags=flags)
        except OSError as error:
            raise AppduckNotFound([(self.path, error.strerror or str(error))]) from error
        self._replies: "queue.Queue[Optional[bytes]]" = queue.Queue()
        self._lock = threading.RLock()  # one command at a time
        self._owed = 0  # replies still due to calls that stopped waiting
        self._spared_self = False
        self._warned_no_match = False  # ducked says so once
        self._hold: Optional[threading.Timer] = None  # a restore waiting out its hold
        self._closed = False
        self._reader = threading.Thread(target=self._read, name="appduck replies", daemon=True)
        self._reader.start()

    # -- the protocol ----------------------------------------------------

    def list(self) -> List[Dict[str, Any]]:
        """Every application playing sound: [{"exe", "name", "vol"}, ...]."""
        return json.loads(self._ask("list"))

    def duck(self, percent: int, *names: str) -> int:
        """Lowers the named applications (a trailing "*" names every one it
        begins) to `percent` of their own volume; 1 when a name matched."""
        reply = self._json(self._ask("duck %d %s" % (int(percent), ";".join(names))))
        return int(reply["bajados"])

    def restore(self) -> None:
        """Brings back everything this appduck lowered."""
        self._json(self._ask("restore"))

    def spare(self, *names: str) -> bool:
        """Never lowers these applications through a wildcard; without names,
        this program and every process it starts. False from an appduck
        that has no spare."""
        line = "spare %s" % ";".join(names) if names else "spare"
        return json.loads(self._ask(line)).get("ok") is True

    def close(self, timeout: Optional[float] = None) -> Optional[int]:
        """Ends appduck, which restores what it ducked; its exit status."""
        with self._lock:
            self._cancel_hold()
            if not self._closed:
                self._closed = True
                try:
                    self._send("quit")
                    self._process.stdin.close()
                    self._process.wait(self.timeout if timeout is None else timeout)
                except AppduckGone:
                    pass  # ended already, its restore done
                except (OSError, subprocess.TimeoutExpired):
                    self._process.kill()
                    self._process.wait()
                finally:
                    self._close_pipes()
            return self._process.returncode

    def _close_pipes(self) -> None:
        try:
            self._process.stdin.close()
        except OSError:
            pass  # what it could not take is moot now
        self._reader.join(5)
        self._process.stdout.close()

    def __enter__(self) -> "Appduck":
        return self

    def __exit__(self, *_: Any) -> None:
        self.close()

    # -- ducking around a block -------------------------------------------

    @contextlib.contextmanager
    def ducked(self, percent: int, *names: str, hold: float = 0.0,
               spare_self: bool = True) -> Iterator["Appduck"]:
        """Ducks on entry and restores on exit. With `hold`, the restore
        waits that many seconds and the next block's duck cancels it; with
        `spare_self`, this program's own sound is spared first."""
        self._begin_ducked(percent, names, spare_self)
        try:
            yield self
        finally:
            self._end_ducked(hold)

    def _begin_ducked(self, percent: int, names: Any, spare_self: bool) -> None:
        self._cancel_hold()
        if spare_self and not self._spared_self:
            self._spared_self = True
            self.spare()
        if self.duck(percent, *names) == 0 and not self._warned_no_match:
            self._warned_no_match = True
            playing = sorted({entry["name"] for entry in self.list()})
            warnings.warn("appduck: no application matched %s; playing now: %s"
                          % (";".join(names), ", ".join(playing) or "nothing"),
                          RuntimeWarning, stacklevel=4)

    def _end_ducked(self, hold: float) -> None:
        if hold <= 0:
            self.restore()
            return
        with self._lock:
            timer = threading.Timer(hold, self._restore_held)
            timer.daemon = True
            self._hold = timer
            timer.start()

    def _restore_held(self) -> None:
        with self._lock:
            if self._hold is not threading.current_thread() or self._closed:
                return  # cancelled by the next block's duck
            self._hold = None
            try:
                self.restore()
            except (AppduckGone, AppduckTimeout):
                pass  # nobody to tell; appduck restores as it ends

    def _cancel_hold(self) -> None:
        with self._lock:
            if self._hold is not None:
                self._hold.cancel()
                self._hold = None

    # -- lines -----------------------------------------------------------

    def _read(self) -> None:
        for line in iter(self._process.stdout.readline, b""):
            self._replies.put(line)
        self._replies.put(_END)

    def _send(self, line: str) -> None:
        if "\n" in line or "\r" in line:
            raise ValueError("a command is one line: %r" % line)
        try:
            self._process.stdin.write((line + "\n").encode("utf-8"))
            self._process.stdin.flush()
        except (OSError, ValueError):
            raise self._gone() from None

    def _ask(self, line: str) -> str:
        with self._lock:
            if self._closed:
                raise AppduckGone(self._process.returncode)
            self._send(line)
            deadline = time.monotonic() + self.timeout
            while True:
                try:
                    reply = self._replies.get(timeout=max(0.0, deadline - time.monotonic()))
                except queue.Empty:
                    self._owed += 1
                    raise AppduckTimeout("no reply to %r within %s s" % (line, self.timeout))
                if reply is _END:
                    self._replies.put(_END)  # for every later call too
                    raise self._gone()
                if self._owed:
                    self._owed -= 1  # a late reply to a call that gave up
                    continue
                return reply.decode("utf-8").rstrip("\r\n")

    def _gone(self) -> AppduckGone:
        try:
            return AppduckGone(self._process.wait(5))
        except subprocess.TimeoutExpired:
            return AppduckGone(None)

    @staticmethod
    def _json(reply: str) -> Dict[str, Any]:
        parsed = json.loads(reply)
        if parsed.get("ok") is not True:
            raise ValueError("appduck refused the command: %s" % reply)
        return parsed


_shared: Optional[Appduck] = None
_shared_lock = threading.Lock()


def _shared_appduck() -> Appduck:
    """One appduck for this whole process, started on first use and ended
    as the interpreter exits."""
    global _shared
    with _shared_lock:
        if _shared is None or _shared._closed:
            _shared = Appduck()
            atexit.register(_shared.close)
        return _shared


def ducked(percent: int, *names: str, hold: float = 0.0,
           spare_self: bool = True) -> "contextlib.AbstractContextManager[Appduck]":
    """Appduck.ducked on this process's one appduck."""
    return _shared_appduck().ducked(percent, *names, hold=hold, spare_self=spare_self)
