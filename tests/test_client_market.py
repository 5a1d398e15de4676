"""The market-data client's calls as users make them: lists of ids, and tick streams
that begin with what is known."""

import pytest

import ctp
from clients import LONG, viewing, wait_for  # noqa: F401


def test_subscribe_takes_a_list_or_separate_ids(viewing):
    md = viewing.open()
    viewing.runner.do(md.subscribe(["rb2705", "au2706"]))
    viewing.runner.do(md.subscribe("cu2702", ("IF2703",)))
    assert md.subscribed == ["rb2705", "au2706", "cu2702", "IF2703"]
    viewing.runner.do(md.unsubscribe(["au2706", "IF2703"]))
    assert md.subscribed == ["rb2705", "cu2702"]
    with pytest.raises(TypeError, match="instrument"):
        viewing.runner.do(md.subscribe(["rb2705", 2705]))


def test_a_tick_stream_made_after_subscribing_begins_with_the_latest_ticks(viewing):
    md = viewing.open()
    viewing.runner.do(md.subscribe(["rb2705", "au2706"]))
    wait_for(lambda: all(viewing.runner.inside(lambda: md.latest(i)) for i in ("rb2705", "au2706")), "snapshots")
    first = viewing.runner.collect(md.ticks(timeout=0.2))
    assert [t["InstrumentID"] for t in first] == ["rb2705", "au2706"]
    assert first == [viewing.runner.inside(lambda: md.latest(i)) for i in ("rb2705", "au2706")]
    viewing.runner.do(md.unsubscribe("rb2705"))
    assert [t["InstrumentID"] for t in viewing.runner.collect(md.ticks(timeout=0.2))] == ["au2706"]
