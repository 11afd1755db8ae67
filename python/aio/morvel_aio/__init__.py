"""asyncio companion of morvel: awaiting a Future here suspends the coroutine.

Awaiting a morvel.Future directly blocks the event loop until the operation is
done. morvel_aio.result suspends the awaiting coroutine instead, so the loop
keeps running other coroutines while the engine works, and thousands of
operations can be in flight at once::

    adbm = morvel.AsyncDBM(db, 4)
    status = await morvel_aio.result(adbm.Set("k", "v"))
    status, value = await morvel_aio.result(adbm.Get("k"))

The coroutine first yields to the loop once, then checks the future without
blocking (Future.Wait(0)) each time the loop gives it a turn, sleeping a
little longer between checks while the operation stays pending, up to
max_delay seconds. No thread is started and nothing blocks while holding
the interpreter lock, whatever mode the database was opened in. Once the
operation is done, Future.Get takes the result without blocking.

AioDBM wraps an AsyncDBM so that each of its methods is awaited this way.
"""

from __future__ import annotations

import asyncio
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

import morvel

__all__ = ["AioDBM", "result"]

_T = TypeVar("_T")

FIRST_DELAY = 0.0001
MAX_DELAY = 0.005


async def result(future: morvel.Future[_T], max_delay: float = MAX_DELAY) -> _T:
    """Suspends until |future| is done and returns what future.Get() returns."""
    await asyncio.sleep(0)
    delay = FIRST_DELAY
    while not future.Wait(0):
        await asyncio.sleep(delay)
        delay = min(delay * 2, max_delay)
    return future.Get()


class AioDBM:
    """The methods of an AsyncDBM as coroutine functions: each starts the
    operation at once and suspends until its result is ready.

    ``await aio.Set("k", "v")`` is ``await result(adbm.Set("k", "v"))``.
    """

    def __init__(self, adbm: morvel.AsyncDBM, max_delay: float = MAX_DELAY) -> None:
        self.adbm = adbm
        self.max_delay = max_delay

    def __getattr__(self, name: str) -> Callable[..., Awaitable[Any]]:
        method = getattr(self.adbm, name)
        if name == "Destruct" or not callable(method):
            return method  # type: ignore[no-any-return]

        def start(*args: Any, **kwargs: Any) -> Awaitable[Any]:
            # The operation starts here, before the caller awaits.
            return result(method(*args, **kwargs), self.max_delay)

        start.__name__ = name
        return start
