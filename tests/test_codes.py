"""The codes' enums in ctp: one ASCII character each, straight into request
dicts and equal to what events carry."""

import enum

import _ctp
import ctp
from ctp import codes
from records import decode, record

ENUMS = [value for value in vars(codes).values()
         if isinstance(value, type) and issubclass(value, enum.StrEnum) and value.__module__ == codes.__name__]


def test_every_enum_is_exported_and_holds_distinct_one_character_codes():
    assert sorted(e.__name__ for e in ENUMS) == sorted(codes.__all__) and set(codes.__all__) <= set(ctp.__all__)
    for kind in ENUMS:
        values = [member.value for member in kind]
        assert all(len(v) == 1 and v.isascii() and v.isprintable() for v in values), kind
        assert len(set(values)) == len(values), kind


def test_members_go_into_requests_as_their_codes(sim, session):
    sim.force_result(0)
    fields = {"Direction": ctp.Direction.SELL, "CombOffsetFlag": ctp.OffsetFlag.CLOSE_TODAY,
              "CombHedgeFlag": ctp.HedgeFlag.HEDGE, "OrderPriceType": ctp.OrderPriceType.LIMIT_PRICE,
              "TimeCondition": ctp.TimeCondition.IOC, "VolumeCondition": ctp.VolumeCondition.ALL,
              "ContingentCondition": ctp.ContingentCondition.IMMEDIATELY,
              "ForceCloseReason": ctp.ForceCloseReason.NOT_FORCE_CLOSE}
    assert _ctp.request(session.handle, "OrderInsert", fields, 1) == 0
    assert _ctp.request(session.handle, "OrderAction", {"ActionFlag": ctp.ActionFlag.DELETE}, 2) == 0
    sent = decode(sim.calls(session.api, "ReqOrderInsert")[0])
    assert {key: getattr(sent, key) for key in fields} == {key: value.encode() for key, value in fields.items()}
    assert decode(sim.calls(session.api, "ReqOrderAction")[0]).ActionFlag == b"0"


def test_events_compare_equal_to_members(sim, session):
    sim.emit(session.api, "OnRtnOrder", record("CThostFtdcOrderField", OrderStatus=b"5", Direction=b"1",
                                               OrderSubmitStatus=b"3"))
    sim.emit(session.api, "OnRspQryInvestorPosition", record("CThostFtdcInvestorPositionField", PosiDirection=b"3",
                                                             PositionDate=b"2"))
    order, position = (event["data"] for event in session.poll())
    assert (order["OrderStatus"], order["Direction"], order["OrderSubmitStatus"]) == (
        ctp.OrderStatus.CANCELED, ctp.Direction.SELL, ctp.OrderSubmitStatus.ACCEPTED)
    assert ctp.OrderStatus(order["OrderStatus"]) is ctp.OrderStatus.CANCELED
    assert (position["PosiDirection"], position["PositionDate"]) == (ctp.PosiDirection.SHORT,
                                                                     ctp.PositionDate.HISTORY)
