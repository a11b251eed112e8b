"""appduck for asyncio: the same calls, run on a worker thread each, so
that waiting for a reply never blocks the event loop."""
import asyncio
import contextlib
from typing import Any, AsyncIterator, Dict, List, Optional

from ._client import Appduck


class AsyncAppduck:
    """Appduck's methods as coroutines; an async context manager."""

    def __init__(self, path: Optional[str] = None, timeout: float = 15.0):
        self._appduck = Appduck(path, timeout)

    async def list(self) -> List[Dict[str, Any]]:
        return await asyncio.to_thread(self._appduck.list)

    async def duck(self, percent: int, *names: str) -> int:
        return await asyncio.to_thread(self._appduck.duck, percent, *names)

    async def restore(self) -> None:
        await asyncio.to_thread(self._appduck.restore)

    async def spare(self, *names: str) -> bool:
        return await asyncio.to_thread(self._appduck.spare, *names)

    async def close(self) -> Optional[int]:
        return await asyncio.to_thread(self._appduck.close)

    async def __aenter__(self) -> "AsyncAppduck":
        return self

    async def __aexit__(self, *_: Any) -> None:
        await self.close()

    @contextlib.asynccontextmanager
    async def ducked(self, percent: int, *names: str, hold: float = 0.0,
                     spare_self: bool = True) -> AsyncIterator["AsyncAppduck"]:
        await asyncio.to_thread(self._appduck._begin_ducked, percent, names, spare_self)
        try:
            yield self
        finally:
            await asyncio.to_thread(self._appduck._end_ducked, hold)
