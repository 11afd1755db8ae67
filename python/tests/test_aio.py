"""morvel_aio: awaiting an engine operation suspends the coroutine, so many
operations are in flight at once and the event loop keeps running."""

import asyncio

import pytest

import morvel
import morvel_aio

Status = morvel.Status
NUM_COROUTINES = 2000


@pytest.fixture(params=[False, True], ids=["plain", "concurrent"])
def adbm(request, make_db):
    db = make_db("hash", concurrent=request.param)
    adbm = morvel.AsyncDBM(db, 4)
    yield adbm
    adbm.Destruct()


class Loop:
    """Counts coroutines between starting an operation and getting its
    result, and the ticks of a timer coroutine seen meanwhile."""

    def __init__(self):
        self.in_flight = 0
        self.most_in_flight = 0
        self.ticks_while_in_flight = 0
        self.finished = False

    async def operation(self, start):
        future = start()
        self.in_flight += 1
        self.most_in_flight = max(self.most_in_flight, self.in_flight)
        try:
            return await morvel_aio.result(future)
        finally:
            self.in_flight -= 1

    async def ticker(self):
        while not self.finished:
            if self.in_flight:
                self.ticks_while_in_flight += 1
            await asyncio.sleep(0)

    async def run_all(self, starts):
        ticker = asyncio.create_task(self.ticker())
        try:
            return await asyncio.gather(*(self.operation(s) for s in starts))
        finally:
            self.finished = True
            await ticker


def test_thousands_of_operations_are_in_flight_while_the_loop_runs(adbm):
    loop = Loop()
    sets = [lambda i=i: adbm.Set(f"k{i}", f"v{i}") for i in range(NUM_COROUTINES)]
    statuses = asyncio.run(loop.run_all(sets))
    assert all(status == Status.SUCCESS for status in statuses)
    assert loop.most_in_flight == NUM_COROUTINES
    assert loop.ticks_while_in_flight > 0
    assert loop.in_flight == 0

    loop = Loop()
    gets = [lambda i=i: adbm.GetStr(f"k{i}") for i in range(NUM_COROUTINES)]
    results = asyncio.run(loop.run_all(gets))
    assert [value for _, value in results] == [f"v{i}" for i in range(NUM_COROUTINES)]
    assert loop.most_in_flight == NUM_COROUTINES and loop.ticks_while_in_flight > 0


def test_the_blocking_await_of_a_future_keeps_one_in_flight(adbm):
    # The contrast: awaiting the Future itself blocks the loop, so no other
    # coroutine starts an operation or ticks until it is done.
    loop = Loop()

    async def operation(i):
        future = adbm.Set(f"k{i}", "v")
        loop.in_flight += 1
        loop.most_in_flight = max(loop.most_in_flight, loop.in_flight)
        await future
        loop.in_flight -= 1
        return future.Get()

    async def run_all():
        ticker = asyncio.create_task(loop.ticker())
        statuses = await asyncio.gather(*(operation(i) for i in range(50)))
        loop.finished = True
        await ticker
        return statuses

    assert all(status == Status.SUCCESS for status in asyncio.run(run_all()))
    assert loop.most_in_flight == 1 and loop.ticks_while_in_flight == 0


def test_results_have_the_shape_of_future_get(adbm):
    aio = morvel_aio.AioDBM(adbm)

    async def session():
        assert await aio.Set("a", "1") == Status.SUCCESS
        assert await aio.Set("a", "2", False) == Status.DUPLICATION_ERROR
        status, value = await aio.Get("a")
        assert (status, value) == (Status.SUCCESS, b"1")
        status, value = await aio.GetStr("missing")
        assert status == Status.NOT_FOUND_ERROR
        status, number = await aio.Increment("n", 5, 100)
        assert (status, number) == (Status.SUCCESS, 105)
        status, records = await aio.GetMultiStr("a", "missing")
        assert records == {"a": "1"}
        assert await aio.Remove("a") == Status.SUCCESS
        assert await aio.Remove("a") == Status.NOT_FOUND_ERROR

    asyncio.run(session())


def test_a_cancelled_wait_leaves_the_future_to_be_awaited_again(adbm):
    async def session():
        future = adbm.Set("k", "v")
        task = asyncio.create_task(morvel_aio.result(future))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return await morvel_aio.result(future)

    assert asyncio.run(session()) == Status.SUCCESS
    assert adbm.GetStr("k").Get() == (Status.SUCCESS, "v")
