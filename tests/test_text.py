"""Text fields out of records: whatever their bytes, poll gives exactly the
str of Python's own codec, bytes.decode("gb18030", "replace") of the bytes
before the first NUL, whether the module decoded them itself or not.

Equal strs are also equal in their storage kind (CPython compares kinds
first), so these comparisons catch a str built one byte per character too
wide or too narrow as well as a wrong character."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import leaked
from records import info, record

WIDTH = 81  # InstrumentID, StatusMsg and ErrorMsg


def decoded(field):
    return field.split(b"\0", 1)[0].decode("gb18030", "replace")


def texts(sim, session, fields, per_poll=100):
    """Sends the 81-byte fields three to a record (an order's InstrumentID and
    StatusMsg, and the ErrorMsg beside it) and returns the strs poll made
    of them, in order."""
    got = []
    groups = [fields[i:i + 3] for i in range(0, len(fields), 3)]
    for start in range(0, len(groups), per_poll):
        batch = groups[start:start + per_poll]
        for group in batch:
            instrument, status, message = (group + [b"", b""])[:3]
            sim.emit(session.api, "OnRspQryOrder", record("CThostFtdcOrderField", InstrumentID=instrument,
                                                          StatusMsg=status), info(1, message), id=1)
        events = session.poll()
        assert len(events) == len(batch)
        for event in events:
            got += [event["data"]["InstrumentID"], event["data"]["StatusMsg"], event["error"]["ErrorMsg"]]
    return got[:len(fields)]


def test_every_two_byte_pair_decodes_like_python(sim, session):
    # Each pair b1 b2 (NUL ends a text, so 1..255 both) followed by a space,
    # so that no pair runs into the next: 27 pairs fill a field.
    pairs = [bytes([b1, b2, 0x20]) for b1 in range(1, 256) for b2 in range(1, 256)]
    per_field = WIDTH // 3
    fields = [b"".join(pairs[i:i + per_field]) for i in range(0, len(pairs), per_field)]
    got = texts(sim, session, fields)
    wrong = [(field, text) for field, text in zip(fields, got) if text != decoded(field)]
    assert not wrong, f"{len(wrong)} of {len(fields)} fields differ, the first: {wrong[0]!r}"


@pytest.mark.parametrize("field", [
    pytest.param(b"", id="empty"),
    pytest.param(b"rb2610 \xb2\xe2\xca\xd4 ok", id="ASCII and pairs"),
    pytest.param("部分成交".encode("gb18030"), id="pairs only"),
    pytest.param("·1×2÷3".encode("gb18030"), id="pairs below U+0100 only: one byte per character"),
    pytest.param("·价".encode("gb18030"), id="pairs below and above U+0100"),
    pytest.param(b"\xa1\x40\xfe\xfe", id="private-use pairs"),
    pytest.param("成交𠀀完".encode("gb18030"), id="a four-byte character beyond the BMP"),
    pytest.param("a\u0080成".encode("gb18030"), id="a four-byte character in the BMP"),
    pytest.param(b"\x81\x30\x81", id="a cut four-byte character"),
    pytest.param("成交".encode("gb18030")[:-1], id="a lead byte at the end"),
    pytest.param(b"\xb2a\xb2\xe2", id="a lead byte before ASCII"),
    pytest.param(b"\xb2\x7f\xb2\xe2", id="trail 0x7F"),
    pytest.param(b"\xb2\xff\xb2\xe2", id="trail 0xFF"),
    pytest.param(b"\xb2\xe2\x80", id="byte 0x80"),
    pytest.param(b"\xff\xb2\xe2", id="byte 0xFF"),
    pytest.param(b"\xb2\xe2\0\xb2", id="a lead byte after the NUL"),
    pytest.param(b"\xb2\0\xe2", id="a NUL inside a pair"),
    pytest.param("测" * 40 + "x", id="full width, pairs"),
    pytest.param(("测" * 41).encode("gb18030")[:WIDTH], id="full width, cut inside the last pair"),
    pytest.param("xyz" + "测" * 37 + "\u0080", id="full width, a four-byte character last"),
])
def test_fields_mixing_ascii_pairs_four_byte_and_invalid_bytes(sim, session, field):
    if isinstance(field, str):
        field = field.encode("gb18030")
    assert len(field) <= WIDTH
    got = texts(sim, session, [field, field + b"\0" * (WIDTH - len(field)), field[:9]])
    assert got == [decoded(field), decoded(field), decoded(field[:9])]


# Pieces of text: what CTP sends and every way of getting it wrong.
PIECES = st.one_of(
    st.integers(0x01, 0x7F).map(lambda b: bytes([b])),
    st.characters(min_codepoint=0x4E00, max_codepoint=0x9FA5).map(lambda c: c.encode("gb18030")),
    st.characters(min_codepoint=0x80, max_codepoint=0xFFFF, exclude_categories=("Cs",)).map(
        lambda c: c.encode("gb18030")),
    st.characters(min_codepoint=0x10000).map(lambda c: c.encode("gb18030")),
    st.tuples(st.integers(0x80, 0xFF), st.integers(0x01, 0xFF)).map(bytes),
    st.integers(0x80, 0xFF).map(lambda b: bytes([b])),
)


def fields(size):
    """Bytes for a text member of size bytes: full width without NUL (cut
    wherever size falls), with NULs, or any bytes at all."""
    full = st.lists(PIECES, min_size=size, max_size=size).map(lambda parts: b"".join(parts)[:size])
    with_nul = st.lists(st.one_of(PIECES, st.just(b"\0")), max_size=size).map(lambda parts: b"".join(parts)[:size])
    return st.one_of(full, with_nul, st.binary(max_size=size))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(status=fields(81), day=fields(9), flag=fields(5))
def test_any_text_bytes_decode_like_python(sim, session, status, day, flag):
    rec = record("CThostFtdcOrderField", StatusMsg=status, TradingDay=day, CombOffsetFlag=flag)
    sim.emit(session.api, "OnRtnOrder", rec)
    [event] = session.poll()
    data = event["data"]
    assert (data["StatusMsg"], data["TradingDay"], data["CombOffsetFlag"]) == (
        decoded(status), decoded(day), decoded(flag))


def test_text_decodes_without_leaks(sim, session):
    fields = [b"rb2610", "部分成交".encode("gb18030"), "1×2".encode("gb18030"), "成交𠀀".encode("gb18030"),
              b"\xb2\xe2\xb2", b"", b"\xff" * WIDTH]
    assert leaked(lambda: texts(sim, session, fields)) < 0.1
