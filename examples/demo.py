"""Opens a session on the embedded simulated front, prints the events that
arrive, and closes it. Exits non-zero when a step fails."""

import sys
import tempfile
import time

import _ctp


def show(event):
    """One compact line per event record."""
    name = event["name"]
    if "data" not in event:
        rest = " ".join(f"{k}={v}" for k, v in event.items() if k != "name")
        return f"{name} {rest}".rstrip()
    error = event["error"]
    status = "ok" if error["ErrorID"] == 0 else f"error {error['ErrorID']} {error['ErrorMsg']}"
    data = event["data"]
    fields = "" if data is None else " ".join(f"{k}={v}" for k, v in data.items() if v not in ("", 0, 0.0))
    return f"{name} #{event['request_id']}{'' if event['last'] else ' (more)'} [{status}] {fields}".rstrip()


def wait_for(handle, name, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for event in _ctp.poll(handle):
            print("  " + show(event))
            if event["name"] == name:
                return event
        time.sleep(0.01)
    raise SystemExit(f"no {name} within {timeout} s")


def main():
    print(f"trader library {_ctp.version()}")
    with tempfile.TemporaryDirectory() as flow:
        handle = _ctp.create("sim://demo", flow.encode() + b"/")
        wait_for(handle, "FrontConnected")
        _ctp.close(handle)
    print("done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
