"""The stand-in's control interface itself, as the tests use it: the call log
only when asked, the serial of a session's API object, and the lock state
each logged call records."""

import subprocess
import sys
import textwrap
import threading

import _ctp
from conftest import Session, subprocess_env
from records import info


def test_the_call_log_is_off_unless_turned_on(sim, flow):
    sim.reset()                                         # as a process starts: off
    Session(sim, flow).close()
    assert sim.calls() == []
    sim.log_calls(True)
    Session(sim, flow).close()
    assert [c.name for c in sim.calls()][:2] == ["CreateFtdcTraderApi", "RegisterSpi"]
    sim.log_calls(False)
    count = len(sim.calls())
    Session(sim, flow).close()
    assert len(sim.calls()) == count


def test_each_flow_path_names_its_own_api_object(sim, tmp_path):
    flows = [bytes(tmp_path / f"s{i}") + b"/" for i in range(8)]
    handles = [None] * len(flows)

    def create(i):
        handles[i] = _ctp.create(f"sim://serial{i}", flows[i])

    threads = [threading.Thread(target=create, args=(i,)) for i in range(len(flows))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    serials = [sim.api_of(f) for f in flows]
    assert len(set(serials)) == len(flows) and sim.api_of(bytes(tmp_path) + b"/none/") == 0
    for i, serial in enumerate(serials):
        (front,) = sim.calls(serial, "RegisterFront")
        assert front.text == f"sim://serial{i}".encode()
    for handle in handles:
        _ctp.close(handle)


def test_rsp_error_given_as_info_arrives(sim, session):
    sim.emit(session.api, "OnRspError", None, info(42, b"x"), id=3)
    [event] = session.poll()
    assert (event["name"], event["request_id"], event["error"]["ErrorID"]) == ("RspError", 3, 42)


def test_lock_state_is_right_after_a_sub_interpreter(tmp_path):
    # PyGILState_Check answers 1 on every thread once a sub-interpreter
    # exists; the log must still see Init and Release made without the lock.
    script = textwrap.dedent(f"""
        import _ctp, _interpreters
        from ctp import sim
        sim.log_calls(True)
        interpreter = _interpreters.create()
        flow = {bytes(tmp_path) + b"/"!r}
        handle = _ctp.create("sim://sub", flow)
        _ctp.close(handle)
        _interpreters.destroy(interpreter)
        print(sorted({{(c.name, c.gil) for c in sim.calls(sim.api_of(flow))}}))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=subprocess_env())
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(sorted({("RegisterSpi", 1), ("SubscribePrivateTopic", 1),
                                              ("SubscribePublicTopic", 1), ("RegisterFront", 1), ("Init", 0),
                                              ("RegisterSpi", 0), ("Release", 0)}))
