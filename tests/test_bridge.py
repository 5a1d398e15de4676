"""What both modules share through the bridge, tested on each: a forked
child that holds a handle whatever the parent's threads were doing at the
fork, and the system's reason when the vendor could not make its object.
Each case runs in a fresh interpreter with a time limit, so that a hang
fails the test instead of the suite."""

import errno
import importlib
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import SIM, subprocess_env

TESTS = os.path.dirname(os.path.abspath(__file__))

# Per module: how the stand-in's controls name its objects, and a request
# that goes to the vendor with an empty dict.
MODULES = {
    "_ctp": {"api_of": "api_of", "flood": "flood", "request": "QryOrder", "op": "ReqQryOrder"},
    "_ctpmd": {"api_of": "md_api_of", "flood": "md_flood", "request": "UserLogout", "op": "ReqUserLogout"},
}


@pytest.fixture(params=sorted(MODULES))
def module(request):
    """The name of a module under test; the stand-in's controls must be there."""
    if SIM is None:
        pytest.skip("needs the stand-in's controls")
    try:
        importlib.import_module(request.param)
    except ImportError:
        pytest.skip(f"{request.param} is not built")
    return request.param


def run(module, *bodies, timeout=240):
    """Runs the bodies in a fresh interpreter with `mod` the module under test,
    `sim` the stand-in's controls, `api_of`, `flood`, `REQUEST` and `OP` as
    in MODULES, `open_session(name)` (a handle on sim://NAME, connected, and
    its API object), `spawn(child, limit)` (runs child() in a forked child
    with a watchdog), `reap(spawned)` (its exit code, -9 when it outlived
    `limit` seconds) and `forked(child, limit)` (both).
    Returns the completed process."""
    names = MODULES[module]
    script = textwrap.dedent(f"""
        import gc, os, signal, sys, threading, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running: the point here
        sys.path.insert(0, {TESTS!r})
        import {module} as mod
        from ctp import sim
        api_of = sim.{names["api_of"]}
        flood = sim.{names["flood"]}
        REQUEST, OP = {names["request"]!r}, {names["op"]!r}

        def open_session(name):
            flow = f"/tmp/ctp-bridge-{{os.getpid()}}-{{name}}/".encode()
            h = mod.create(f"sim://{{name}}", flow)
            api = api_of(flow)
            deadline = time.monotonic() + 30
            while not mod.poll(h):
                assert time.monotonic() < deadline, "never connected"
                time.sleep(0.001)
            return h, api

        def spawn(child, limit=20):
            pid = os.fork()
            if pid == 0:
                signal.alarm(limit)  # the child's own watchdog
                try:
                    child()
                except SystemExit:
                    raise
                except BaseException as e:
                    print("child:", repr(e), flush=True)
                    os._exit(2)
                os._exit(0)
            return pid, time.monotonic() + limit + 10

        def reap(spawned):
            pid, deadline = spawned
            while time.monotonic() < deadline:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    return os.waitstatus_to_exitcode(status)
                time.sleep(0.002)
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return -9

        def forked(child, limit=20):
            return reap(spawn(child, limit))
    """) + "".join(textwrap.dedent(body) for body in bodies)
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", script], capture_output=True, text=True,
                          timeout=timeout, env=subprocess_env())


def ok(result):
    assert result.returncode == 0 and result.stdout.strip().endswith("ok"), result.stdout[-3000:] + result.stderr[-3000:]


# The ways a child can end with a handle it inherited: close it, then leave
# through the interpreter's exit; leave with it open (finalization drops
# it); close it and drop it by hand, then leave at once.
ENDINGS = """
    def close_then_exit():
        mod.close(h)
        mod.close(h)
        sys.exit(0)

    def exit_holding_it():
        sys.exit(0)

    def close_and_drop():
        global h
        mod.close(h)
        del h
        gc.collect()
        os._exit(0)

    ENDINGS = [close_then_exit, exit_holding_it, close_and_drop]
"""


class TestForkedChild:
    def test_a_close_under_way_in_the_parent(self, module):
        """Another thread's close waits for a request inside the vendor when
        the process forks: the child inherits a session half closed, with no
        thread to finish it, and must still close it and exit at once."""
        ok(run(module, ENDINGS, """
            h, api = open_session("closing")
            sim.log_calls(True)
            sim.force_result(0)
            sim.set_request_delay(4_000_000)
            inside = threading.Thread(target=mod.request, args=(h, REQUEST, {}, 1))
            inside.start()
            while not sim.calls(api, OP):
                time.sleep(0.001)
            closer = threading.Thread(target=mod.close, args=(h,))
            closer.start()
            # Once close has cleared the API object a request says so, without
            # reaching the vendor; until then an unknown name is refused.
            while True:
                try:
                    mod.request(h, "NoSuchRequest", {}, 2)
                except ValueError:
                    time.sleep(0.001)
                except RuntimeError:
                    break
            children = [spawn(ending) for ending in ENDINGS]
            assert closer.is_alive() and inside.is_alive(), "the close ended before the forks"
            codes = [reap(child) for child in children]
            assert codes == [0, 0, 0], codes
            closer.join()
            inside.join()
            assert not sim.alive(api) and sim.violations() == 0
            print("ok")
        """))

    def test_forks_during_an_event_flood(self, module):
        """Vendor threads flood the session (past overflow, so every event
        takes and gives back the queue's locks) while the process forks again
        and again, with and without a thread waiting: a fork that catches a
        vendor thread holding a lock leaves it held for ever in the child,
        whose close, drop and exit must not wait for it."""
        ok(run(module, ENDINGS, """
            h, api = open_session("flood")
            stop = threading.Event()

            def floods(thread):
                while not stop.is_set():
                    flood(api, "OnFrontDisconnected", 20000, thread=thread)

            # A thread asleep in wait, on a session nothing reaches; the
            # children drop that handle too when they exit.
            quiet, _ = open_session("quiet")
            waiter = threading.Thread(target=mod.wait, args=(quiet, 60))
            waiter.start()
            threads = [threading.Thread(target=floods, args=(n,)) for n in (0, 1)]
            for t in threads:
                t.start()
            failed = []
            for i in range(90):
                if i == 45:
                    mod.close(quiet)  # the waiter returns; the rest fork without it
                    waiter.join()
                # Mostly the quick ending: an exit takes a second under ThreadSanitizer.
                code = forked(ENDINGS[i // 5 % 3] if i % 5 == 0 else close_and_drop)
                if code != 0:
                    failed.append((i, code))
                    break
            stop.set()
            for t in threads:
                t.join()
            assert failed == [], failed
            mod.close(h)
            print("ok")
        """, timeout=600))


class TestSystemReasons:
    def test_create_and_fileno_at_the_descriptor_limit(self, module):
        """With every descriptor taken, the vendor cannot make its object:
        create says why, with the system's error as the cause. fileno raises
        the system's OSError. A refusal without a system reason stays plain."""
        ok(run(module, f"""
            import errno, resource
            h, api = open_session("limit")
            sim.fail_next_create()
            try:
                mod.create("sim://limit", b"/tmp/ctp-bridge-plain/")
            except RuntimeError as e:
                assert str(e) == "创建 CTP 接口失败" and e.__cause__ is None, (e, e.__cause__)
            soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
            taken = []
            try:
                while True:
                    taken.append(os.open("/dev/null", os.O_RDONLY))
            except OSError as e:
                assert e.errno == errno.EMFILE
            try:
                mod.create("sim://limit", b"/tmp/ctp-bridge-limit/")
                raise AssertionError("created")
            except RuntimeError as e:
                created = e
            try:
                mod.fileno(h)
                raise AssertionError("a descriptor")
            except OSError as e:
                described = e
            for fd in taken:
                os.close(fd)
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
            reason = os.strerror(errno.EMFILE)
            assert str(created) == "创建 CTP 接口失败: " + reason, created
            assert isinstance(created.__cause__, OSError) and created.__cause__.errno == errno.EMFILE, created.__cause__
            assert created.__cause__.strerror == reason
            assert described.errno == errno.EMFILE and described.strerror == reason, described
            assert mod.fileno(h) >= 0
            mod.close(h)
            print("ok")
        """))
