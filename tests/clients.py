"""Runs a scenario on each face of the clients: ``ctp.Client``, ``ctp.AsyncClient``,
``ctp.MarketData`` and ``ctp.AsyncMarketData`` (the asyncio ones on an event loop
in a thread of its own), with the stand-in's controls for the right kind of API object."""

import asyncio
import contextlib
import concurrent.futures
import inspect
import os
import threading
import time
import uuid

import pytest

import ctp

TRADER = dict(broker="9999", user="000001", password="123456", app_id="standin_client_1.0",
              auth_code="0000000000000000")
VIEWER = dict(broker="9999", user="000001", password="123456")
LONG = 30.0       # generous limit for any wait: the suite also runs under sanitizers on a loaded machine


class Blocking:
    name = "blocking"

    def __init__(self):
        self.pool = concurrent.futures.ThreadPoolExecutor(2)

    def make(self, cls, **options):
        return cls(**options)

    def do(self, result):
        return result

    def inside(self, fn):
        return fn()

    def start(self, thunk):
        """Starts a call in the background; returns a concurrent future."""
        return self.pool.submit(thunk)

    def collect(self, stream, test=lambda item: True, count=None):
        """Items of the stream that pass test, up to count of them (None: until the stream ends)."""
        seen = []
        for item in stream:
            if test(item):
                seen.append(item)
                if len(seen) == count:
                    break
        return seen

    def stop(self):
        self.pool.shutdown()


class Asyncio:
    name = "asyncio"

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

    def run(self, awaitable, timeout=LONG * 4):
        async def wrap():
            return await awaitable
        return asyncio.run_coroutine_threadsafe(wrap(), self.loop).result(timeout)

    def make(self, cls, **options):
        return self.run(cls(**options).connect())

    def do(self, result):
        return self.run(result) if inspect.isawaitable(result) else result

    def inside(self, fn):
        """Runs fn on the loop's thread, so that the loop reads nothing meanwhile."""
        async def call():
            return fn()
        return self.run(call())

    def start(self, thunk):
        async def wrap():
            result = thunk()
            return await result if inspect.isawaitable(result) else result
        return asyncio.run_coroutine_threadsafe(wrap(), self.loop)

    def collect(self, stream, test=lambda item: True, count=None):
        async def gather():
            seen = []
            async for item in stream:
                if test(item):
                    seen.append(item)
                    if len(seen) == count:
                        break
            return seen
        return self.run(gather())

    def stop(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(LONG)
        self.loop.close()


class Trading:
    """The trading client: its classes, credentials and the stand-in's controls for it."""

    name = "trading"
    who = TRADER
    classes = {"blocking": "Client", "asyncio": "AsyncClient"}

    # The front takes queries as fast as they come (below), so the client need not space them:
    # a re-sync's several queries take no seconds.
    defaults = {"query_interval": 0.0}

    def __init__(self, sim):
        self.sim = sim
        sim.query_interval(0)

    def api_of(self, flow):
        return self.sim.api_of(flow)

    def disconnect(self, api, reason=0x1001):
        self.sim.disconnect(api, reason)

    def reconnect(self, api):
        self.sim.reconnect(api)

    def flood(self, api, count):
        self.sim.flood(api, "OnRtnTrade", count)

    def request(self, client):
        """A call that asks the front something (unanswered while the front is held)."""
        return client.query("QryOrder")

    def hold(self, api, held=True):
        self.sim.hold(api, held)


class Viewing(Trading):
    """The market-data client."""

    name = "market data"
    who = VIEWER
    defaults: dict[str, object] = {}
    classes = {"blocking": "MarketData", "asyncio": "AsyncMarketData"}

    def api_of(self, flow):
        return self.sim.md_api_of(flow)

    def disconnect(self, api, reason=0x1001):
        self.sim.md_disconnect(api, reason)

    def reconnect(self, api):
        self.sim.md_reconnect(api)

    def flood(self, api, count):
        self.sim.md_flood(api, "OnRtnDepthMarketData", count)

    def request(self, client):
        return client.subscribe("rb2705")

    def hold(self, api, held=True):
        self.sim.md_hold(api, held)


FACES = [(Blocking, Trading), (Asyncio, Trading), (Blocking, Viewing), (Asyncio, Viewing)]
FACE_IDS = ["Client", "AsyncClient", "MarketData", "AsyncMarketData"]


class Face:
    """One face of one client on a fresh simulated front: ``open(**options)`` makes one
    (credentials, front and a flow directory of its own filled in) and notes its API serial."""

    def __init__(self, sim, runner, kind, tmp_path):
        self.runner, self.kind = runner(), kind(sim)
        self.cls = getattr(ctp, kind.classes[self.runner.name])
        self.front = f"sim://c{uuid.uuid4().hex[:12]}"
        self.tmp_path = tmp_path
        self.opened = []

    @property
    def name(self):
        return self.cls.__name__

    def options(self, **options):
        flow = self.tmp_path / f"flow{len(self.opened)}"
        return dict(self.kind.who, front=self.front, flow=flow, timeout=LONG) | self.kind.defaults | options

    def open(self, **options):
        options = self.options(**options)
        client = self.runner.make(self.cls, **options)
        self.opened.append(client)
        client.api = self.kind.api_of(os.fsencode(os.path.join(options["flow"], "")))
        return client

    def make(self, **options):
        """Runs the constructor (and connect) with exactly these options; returns what it returned."""
        return self.runner.make(self.cls, **options)

    def close(self):
        for client in self.opened:
            self.runner.inside(client.close)
        self.runner.stop()


@pytest.fixture(params=FACES, ids=FACE_IDS)
def face(request, sim, tmp_path):
    runner, kind = request.param
    f = Face(sim, runner, kind, tmp_path)
    yield f
    f.close()


@pytest.fixture(params=FACES[:2], ids=FACE_IDS[:2])
def trading(request, sim, tmp_path):
    """A face of the trading client only."""
    runner, kind = request.param
    f = Face(sim, runner, kind, tmp_path)
    yield f
    f.close()


@pytest.fixture(params=FACES[2:], ids=FACE_IDS[2:])
def viewing(request, sim, tmp_path):
    """A face of the market-data client only."""
    runner, kind = request.param
    f = Face(sim, runner, kind, tmp_path)
    yield f
    f.close()


@contextlib.contextmanager
def held(face, client, release_after=LONG):
    """The front answers nothing while held; a timer lets it go after release_after seconds,
    so that a call that would wait for ever fails its test instead of hanging it."""
    face.kind.hold(client.api)
    timer = threading.Timer(release_after, face.kind.hold, (client.api, False))
    timer.start()
    try:
        yield
    finally:
        timer.cancel()
        face.kind.hold(client.api, False)


def wait_for(test, what, timeout=LONG):
    deadline = time.monotonic() + timeout
    while not test():
        assert time.monotonic() < deadline, f"{what}: not within {timeout} s"
        time.sleep(0.005)
