"""The Python bindings against the sandbox: the main road late-bound, every conversion both
ways, the errors as ComError, the session's context manager and the objects' lifetimes."""
import datetime
import gc
import pydoc

import pytest

import vtfc4
from vtfc4 import _native, constants

D = datetime.datetime


def send_one(session, request):
    (response,) = session.send(request)
    assert response.StatusCode == 0, response.StatusMessage
    return response.Detail


# ---- The main road.

def test_main_road_add_query_modify(session):
    request = session.new_request()
    customer = request.AppendCustomerAddRq()
    customer.Name.SetValue("Ames Trading")
    customer.Phone.SetValue("555-0100")
    customer.BillAddress.City.SetValue("Lyon")
    added = send_one(session, request)
    list_id, sequence = added.ListID.GetValue(), added.EditSequence.GetValue()
    assert "-" in list_id and sequence

    request.ClearRequests()
    request.AppendCustomerQueryRq().ORCustomerListQuery.ListIDList.Add(list_id)
    found = send_one(session, request)
    assert len(found) == 1 and found[0] == found[-1]
    assert found[0].to_dict()["BillAddress"] == {"City": "Lyon"}

    request.ClearRequests()
    request.Attributes.OnError = constants.roeStop
    assert request.Attributes.OnError == constants.roeStop
    change = request.AppendCustomerModRq()
    change.ListID.SetValue(list_id)
    change.EditSequence.SetValue(sequence)
    change.Phone.SetValue("555-0199")
    modified = send_one(session, request)
    assert modified.Phone.GetValue() == "555-0199"
    assert modified.EditSequence.GetValue() != sequence or modified.TimeModified.GetValue()


def test_dir_and_help_come_from_the_type_library(session):
    names = dir(session.manager)
    for member in ("OpenConnection", "BeginSession", "DoRequests", "EnableErrorRecovery"):
        assert member in names
    text = pydoc.render_doc(session.manager, renderer=pydoc.plaintext)
    assert "BeginSession(self, vtFile, openMode)" in text
    assert "GetVersion() -> (int major, int minor, ENReleaseLevel releaseLevel, int releaseNumber)" in text
    assert "EnableErrorRecovery (bool), read and written" in text


def test_constants_are_the_libraries_enumerations():
    assert (constants.roeStop, constants.roeContinue, constants.roeRollback) == (0, 1, 2)
    assert constants.ENRqOnError == {"roeStop": 0, "roeContinue": 1, "roeRollback": 2}
    # Every value of the catalogue's enumeration table, by its constant's name.
    import os
    table = os.path.join(os.path.dirname(__file__), "..", "..", "src", "catalogue", "enums.tsv")
    with open(table) as rows:
        next(rows)
        for row in rows:
            enum, _, value, name = row.rstrip("\n").split("\t")[:4]
            assert getattr(constants, name) == int(value), name
            assert getattr(constants, enum)[name] == int(value)
    with pytest.raises(AttributeError):
        constants.noSuchValue


# ---- Conversions.

@pytest.mark.parametrize("value, vt, back", [
    ("", 8, ""),
    ("Ames & Sons <Lyon>", 8, "Ames & Sons <Lyon>"),
    ("Zoë Ærø ñ", 8, "Zoë Ærø ñ"),
    ("東京 🎉 𝄞", 8, "東京 🎉 𝄞"),  # beyond the BMP: surrogate pairs in the BSTR
    (0, 3, 0), (-(2 ** 31), 3, -(2 ** 31)), (2 ** 31 - 1, 3, 2 ** 31 - 1),
    (1.5, 5, 1.5), (-0.1, 5, -0.1),
    (True, 11, True), (False, 11, False),
    (None, 0, None),
    (D(2024, 2, 29, 13, 45, 30, 123456), 7, D(2024, 2, 29, 13, 45, 30, 123456)),
    (datetime.date(2024, 2, 29), 7, D(2024, 2, 29)),
    (D(1899, 12, 29, 6, 0), 7, D(1899, 12, 29, 6, 0)),
    (D(1800, 1, 1, 23, 59, 59), 7, D(1800, 1, 1, 23, 59, 59)),
    (["a", "Zoë", "🎉"], 0x2008, ["a", "Zoë", "🎉"]),
    (("x",), 0x2008, ["x"]),
    ([], 0x2008, []),
])
def test_conversions_both_ways(value, vt, back):
    assert _native.variant_type(value) == vt
    result = _native.roundtrip(value)
    assert result == back and type(result) is type(back)


@pytest.mark.parametrize("value, days", [
    (D(1899, 12, 30), 0.0), (D(1899, 12, 30, 6), 0.25), (D(1899, 12, 29, 6), -1.25),
    (D(1900, 1, 1), 2.0), (datetime.date(2024, 12, 31), 45657.0), (D(2024, 12, 31, 18), 45657.75),
])
def test_dates_count_days_from_1899_12_30(value, days):
    assert _native.date_of(value) == days
    assert _native.from_date(days) == (value if isinstance(value, D) else D(value.year, value.month, value.day))


@pytest.mark.parametrize("value, error", [
    (2 ** 31, ValueError), (-(2 ** 31) - 1, ValueError), (object(), TypeError), (["a", 1], TypeError),
    ({"a": 1}, TypeError), ("\ud800"[:0] + "ok", None),
])
def test_values_with_no_automation_form_are_refused(value, error):
    if error is None:
        assert _native.roundtrip(value) == value
    else:
        with pytest.raises(error):
            _native.variant_type(value)


@pytest.mark.parametrize("days", [float("nan"), float("inf"), 1e9, -1e9])
def test_dates_outside_the_calendar_are_refused(days):
    with pytest.raises(ValueError):
        _native.from_date(days)


@pytest.mark.parametrize("path, value, back", [
    (("Name",), "Zoë 🎉 東京", "Zoë 🎉 東京"),
    (("IsActive",), False, False),
    (("CreditLimit",), 1234.5, 1234.5),
    (("OpenBalanceDate",), datetime.date(2024, 2, 29), D(2024, 2, 29)),
    (("OpenBalanceDate",), D(2023, 7, 14, 9, 30), D(2023, 7, 14)),  # a date keeps the day only
    (("CreditCardInfo", "ExpirationMonth"), 11, 11),
    (("JobStatus",), constants.jsInProgress, constants.jsInProgress),
])
def test_conversions_through_the_library(session, path, value, back):
    vtfc4.set_code_page("UTF-8")  # the library keeps any text under UTF-8
    try:
        member = session.new_request().AppendCustomerAddRq()
        for name in path:
            member = getattr(member, name)
        assert not member.IsSet()
        member.SetValue(value)
        result = member.GetValue()
        assert result == back and type(result) is type(back)
    finally:
        vtfc4.set_code_page("WINDOWS-1252")


def test_results_of_every_shape(session):
    request = session.new_request()
    request.AppendCustomerAddRq().Name.SetValue("Shapes")
    added = send_one(session, request)
    assert added.TimeCreated.GetValue() == D(2024, 12, 31, 12, 0)  # the sandbox's clock
    assert added.IsActive.GetValue() is True
    assert added.Sublevel.GetValue() == 0 and added.Balance.GetValue() == 0.0
    assert added.Fax is None  # an absent element
    versions = session.VTXMLVersionsForSession
    assert isinstance(versions, list) and "4.0" in versions
    # Outputs and the result come back in the parameters' order.
    major, minor, level, number = session.GetVersion()
    assert (major, minor) == (4, 0) and level in constants.ENReleaseLevel.values() and number >= 0
    assert request.Verify() == (None, True)
    request.ClearRequests()
    request.AppendCustomerAddRq()  # no name
    message, ok = request.Verify()
    assert ok is False and "Name" in message
    hours = session.new_request().AppendEmployeeAddRq().EmployeePayrollInfo.SickHours.HoursAvailable
    hours.SetValue(10, 30, 5)
    assert hours.GetValue() == (10, 30, 5)


def test_keyword_arguments_are_named_arguments(session):
    by_name = session.CreateMsgSetRequest(vtXMLMinorVersion=0, country="US", vtXMLMajorVersion=4)
    mixed = session.CreateMsgSetRequest("US", vtXMLMinorVersion=0, vtXMLMajorVersion=4)
    for request, name in ((by_name, "By name"), (mixed, "Mixed")):
        request.AppendCustomerAddRq().Name.SetValue(name)
    assert "<Name>By name</Name>" in by_name.ToXMLString() and "<Name>Mixed</Name>" in mixed.ToXMLString()
    manager = session.manager
    manager.EnableErrorRecovery = True
    assert manager.EnableErrorRecovery is True
    manager.enableerrorrecovery = False  # names are the type library's, in any case
    assert manager.EnableErrorRecovery is False


# ---- Errors.

@pytest.mark.parametrize("call, hresult, argerr, argument", [
    (lambda s: s.CreateMsgSetRequest("US", "four", 0), 0x80020005, 1, 1),
    (lambda s: s.CreateMsgSetRequest("US", 4, "zero"), 0x80020005, 0, 2),
    (lambda s: s.CreateMsgSetRequest("US", 70000, 0), 0x8002000A, 1, 1),
    (lambda s: s.CreateMsgSetRequest("US", 4, vtXMLMajorVersion=4), 0x80020004, 0, "vtXMLMajorVersion"),
    (lambda s: s.CreateMsgSetRequest("US", 4, minor=0), 0x80020006, None, "minor"),
    (lambda s: s.CreateMsgSetRequest("US"), 0x8002000E, None, None),
    (lambda s: s.DoRequests(s.new_request().AppendCustomerAddRq()), 0x80020005, 0, 0),
    (lambda s: s.BeginSession("/nonexistent/books.vtc", constants.omDontCare), 0x80040403, None, None),
    (lambda s: vtfc4.Dispatch("No.Such.Class"), 0x800401F3, None, None),
    (lambda s: vtfc4.Dispatch("{not a class id}"), 0x800401F3, None, None),
    (lambda s: vtfc4.Dispatch("{00000000-0000-0000-0000-0000000000F1}"), 0x80040154, None, None),
])
def test_each_failure_is_a_com_error(session, call, hresult, argerr, argument):
    with pytest.raises(vtfc4.ComError) as caught:
        call(session)
    error = caught.value
    assert error.hresult == hresult and error.hresult_signed == hresult - 2 ** 32
    assert (error.argerr, error.argument) == (argerr, argument)
    assert error.description and "0x%08X" % hresult in str(error)


def test_the_librarys_error_object_gives_description_and_source(company):
    manager = vtfc4.Dispatch("VTFC4.VTSessionManager")
    manager.OpenConnection("", "errors")
    with pytest.raises(vtfc4.ComError) as caught:
        manager.GetCurrentCompanyFileName()
    manager.CloseConnection()
    assert caught.value.hresult in (0x80040404, 0x8004040C)
    assert "session" in caught.value.description.lower() and caught.value.source


def test_unknown_members_are_attribute_errors(session):
    assert not hasattr(session.manager, "NoSuchMember")
    with pytest.raises(vtfc4.UnknownNameError) as caught:
        session.manager.NoSuchMember = 1
    assert caught.value.hresult == 0x80020006
    with pytest.raises(AttributeError):
        session.manager.CustomerRet  # another interface's member


@pytest.mark.parametrize("misuse, error", [
    (lambda o: o._o.invoke_by_name("EnableErrorRecovery", _native.DISPATCH_PROPERTYPUT), TypeError),
    (lambda o: o._o.invoke_by_name("EnableErrorRecovery", _native.DISPATCH_PROPERTYPUT, True, False), TypeError),
    (lambda o: o._o.get(0x7FFF, "nothing"), vtfc4.ComError),
    (lambda o: o._o.call(-12345, "nothing", 1, 2, 3), vtfc4.ComError),
    (lambda o: _native.Object(), TypeError),
    (lambda o: o.CreateMsgSetRequest("US\0X", 4, 0), vtfc4.ComError),
])
def test_misuse_is_an_error_not_a_crash(misuse, error):
    manager = vtfc4.Dispatch("VTFC4.VTSessionManager")
    with pytest.raises(error):
        misuse(manager)


# ---- Sessions, lists and lifetimes.

def test_the_session_ends_even_on_an_exception(company):
    with pytest.raises(ZeroDivisionError):
        with vtfc4.desktop_session(company) as s:
            kept = s.manager
            assert kept.GetCurrentCompanyFileName() == company
            1 / 0
    with pytest.raises(vtfc4.ComError) as caught:
        kept.GetCurrentCompanyFileName()
    assert caught.value.hresult == 0x80040404
    del kept
    with vtfc4.desktop_session(company) as again:  # the file is free for the next session
        assert again.GetCurrentCompanyFileName() == company


def test_a_session_that_cannot_begin_closes_its_connection(tmp_path):
    with pytest.raises(vtfc4.ComError) as caught:
        with vtfc4.desktop_session(str(tmp_path / "missing.vtc")):
            pytest.fail("the block ran without a session")
    assert caught.value.hresult == 0x80040403


@pytest.mark.parametrize("names", [["Ames"], ["Ames", "Baker", "Cole"]])
def test_lists_iterate_index_and_show(session, names):
    request = session.new_request()
    request.Attributes.OnError = constants.roeContinue
    for name in names:
        request.AppendCustomerAddRq().Name.SetValue(name)
    responses = session.send(request)
    assert len(responses) == len(names) and [r.Detail.Name.GetValue() for r in responses] == names
    assert responses[-1] == responses[len(names) - 1] and responses[0:1] == [responses[0]]
    assert repr(responses[0].Detail).startswith("<ICustomerRet ListID='") and "Name='Ames'" in repr(
        responses[0].Detail)
    with pytest.raises(IndexError):
        responses[len(names)]
    assert repr(responses) == "<IResponseList Count=%d>" % len(names)


def test_objects_are_freed_when_python_drops_them():
    gc.collect()
    assert vtfc4.can_unload_now()
    manager = vtfc4.Dispatch("VTFC4.VTSessionManager")
    response = manager.ToMsgSetResponse(
        '<?xml version="1.0" ?><VTXML><VTXMLMsgsRs><CustomerQueryRs statusCode="1" statusSeverity="Info" '
        'statusMessage="none"/></VTXMLMsgsRs></VTXML>', "US", 4, 0)
    first = response.ResponseList[0]
    del manager, response
    assert not vtfc4.can_unload_now(), "the response still lives"
    assert first.StatusCode == 1 and first.Detail is None
    del first
    assert vtfc4.can_unload_now()
