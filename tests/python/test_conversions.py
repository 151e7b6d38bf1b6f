"""cvole against ECHO.OCX: conversions both ways, by-reference and missing
arguments, members with and without type information, enumerators, errors
and reference counts."""

import datetime
import gc
from decimal import Decimal

import pytest

import cvole

DISP_E_PARAMNOTFOUND = 0x80020004


class Index:
    """An integer of another library: it has __index__ but is no int."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.fixture
def echo():
    e = cvole.Dispatch("CvoleTest.Echo.1")
    yield e
    del e
    gc.collect()


# ---- Python -> VARIANT -----------------------------------------------------------------

@pytest.mark.parametrize("value, sent", [
    (None, "VT_EMPTY"),
    (True, "VT_BOOL"),
    (False, "VT_BOOL"),
    (5, "VT_I4"),
    (-(2 ** 31), "VT_I4"),
    (2 ** 31 - 1, "VT_I4"),
    (Index(7), "VT_I4"),
    (2.5, "VT_R8"),
    ("text", "VT_BSTR"),
    ("", "VT_BSTR"),
    (datetime.datetime(2001, 1, 2, 3, 4, 5), "VT_DATE"),
    (datetime.date(2001, 1, 2), "VT_DATE"),
    (cvole.Variant(cvole.VT_EMPTY), "VT_EMPTY"),
    (cvole.Variant(cvole.VT_NULL), "VT_NULL"),
    (cvole.Variant(cvole.VT_I1, -5), "VT_I1"),
    (cvole.Variant(cvole.VT_UI1, 200), "VT_UI1"),
    (cvole.Variant(cvole.VT_I2, 3), "VT_I2"),
    (cvole.Variant(cvole.VT_UI2, 60000), "VT_UI2"),
    (cvole.Variant(cvole.VT_I4, 7), "VT_I4"),
    (cvole.Variant(cvole.VT_UI4, 4000000000), "VT_UI4"),
    (cvole.Variant(cvole.VT_I8, -9000000000), "VT_I8"),
    (cvole.Variant(cvole.VT_UI8, 2 ** 64 - 1), "VT_UI8"),
    (cvole.Variant(cvole.VT_INT, -7), "VT_INT"),
    (cvole.Variant(cvole.VT_UINT, 7), "VT_UINT"),
    (cvole.Variant(cvole.VT_R4, 0.5), "VT_R4"),
    (cvole.Variant(cvole.VT_R8, 0.1), "VT_R8"),
    (cvole.Variant(cvole.VT_CY, Decimal("12.3456")), "VT_CY"),
    (cvole.Variant(cvole.VT_DATE, 36893.5), "VT_DATE"),
    (cvole.Variant(cvole.VT_BSTR, "x"), "VT_BSTR"),
    (cvole.Variant(cvole.VT_BOOL, 1), "VT_BOOL"),
    (cvole.Variant(cvole.VT_ERROR, 0x80004005), "VT_ERROR"),
])
def test_python_values_are_sent_as_their_vartype(echo, value, sent):
    assert echo.TypeName(value) == sent


def test_interfaces_are_sent_as_dispatch_and_unknown(echo):
    assert echo.TypeName(echo) == "VT_DISPATCH"
    assert echo.TypeName(echo.Self) == "VT_UNKNOWN"
    assert echo.IsSelf(echo) and echo.IsSelf(echo.Self)
    other = cvole.Dispatch("CvoleTest.Echo.1")
    assert not echo.IsSelf(other)
    assert echo.TypeName(cvole.Variant(cvole.VT_UNKNOWN, echo)) == "VT_UNKNOWN"
    assert echo.TypeName(cvole.Variant(cvole.VT_DISPATCH, echo.Self)) == "VT_DISPATCH"
    assert echo.TypeName(cvole.Variant(cvole.VT_DISPATCH, None)) == "VT_DISPATCH"


@pytest.mark.parametrize("value", [
    None, True, False, 0, -123456, 2.5, -0.0, "", "Grüße, 世界 🎉", "a\0b",
    datetime.datetime(2024, 2, 29, 23, 59, 58), datetime.datetime(1899, 12, 30),
    datetime.datetime(1899, 12, 29, 6, 0), datetime.datetime(100, 1, 1), datetime.datetime(9999, 12, 31, 23, 59, 59),
    datetime.datetime(2020, 5, 6, 7, 8, 9, 123000),
])
def test_values_come_back_unchanged(echo, value):
    back = echo.Echo(value)
    assert back == value and type(back) is type(value)


@pytest.mark.parametrize("vt, value, expected", [
    (cvole.VT_I1, -5, -5), (cvole.VT_UI1, 200, 200), (cvole.VT_I2, -300, -300), (cvole.VT_UI2, 60000, 60000),
    (cvole.VT_I4, -7, -7), (cvole.VT_UI4, "4000000000", 4000000000), (cvole.VT_I8, "-9000000000000", -9000000000000),
    (cvole.VT_UI8, "18000000000000000000", 18000000000000000000), (cvole.VT_INT, -8, -8), (cvole.VT_UINT, 8, 8),
    (cvole.VT_R4, 0.5, 0.5), (cvole.VT_R8, 0.1, 0.1), (cvole.VT_CY, "12.3456", Decimal("12.3456")),
    (cvole.VT_DATE, 36893.5, datetime.datetime(2001, 1, 2, 12, 0)), (cvole.VT_DATE, -1.25, datetime.datetime(1899, 12, 29, 6)),
    (cvole.VT_BSTR, 42, "42"), (cvole.VT_BOOL, 1, True), (cvole.VT_BOOL, 0, False),
    (cvole.VT_EMPTY, None, None), (cvole.VT_NULL, None, None),
    (cvole.VT_ERROR, -2147467259, cvole.Variant(cvole.VT_ERROR, 0x80004005)),
])
def test_every_vartype_is_read(echo, vt, value, expected):
    got = echo.Make(vt, value)
    assert got == expected and type(got) is type(expected)


def test_interfaces_are_read_as_dispatch_and_unknown(echo):
    d = echo.Make(cvole.VT_DISPATCH)
    u = echo.Make(cvole.VT_UNKNOWN)
    assert type(d) is cvole.Dispatch and d == echo and hash(d) == hash(echo)
    assert type(u) is cvole.Unknown and u == echo and cvole.Dispatch(u) == echo
    assert d.Counter == 0  # a working object, not only an equal pointer


def test_missing_and_error_values(echo):
    assert echo.Describe("a", cvole.Missing, 4) == "VT_BSTR,missing,VT_I4,missing"
    assert echo.Describe() == "missing,missing,missing,missing"
    assert echo.Make(cvole.VT_ERROR, cvole.Variant(cvole.VT_I4, DISP_E_PARAMNOTFOUND - 2 ** 32)) is cvole.Missing
    assert echo.Describe(cvole.Variant(cvole.VT_ERROR, DISP_E_PARAMNOTFOUND)) == "missing,missing,missing,missing"
    assert echo.Describe(cvole.Variant(cvole.VT_ERROR, 0x80004005)) == "VT_ERROR,missing,missing,missing"
    assert cvole.Variant(cvole.VT_ERROR, -2147467259).value == 0x80004005


@pytest.mark.parametrize("vt, value, shown", [
    (cvole.VT_R4, 0.1, 0.10000000149011612),
    (cvole.VT_CY, Decimal("1.23456"), Decimal("1.2346")),
    (cvole.VT_CY, 0.1, Decimal("0.1000")),
    (cvole.VT_CY, -7, Decimal("-7.0000")),
    (cvole.VT_DATE, datetime.datetime(2020, 1, 1, 0, 0, 0, 123456), datetime.datetime(2020, 1, 1, 0, 0, 0, 123000)),
    (cvole.VT_BOOL, 2, True),
    (cvole.VT_I2, True, 1),
])
def test_variant_value_is_what_is_sent(echo, vt, value, shown):
    v = cvole.Variant(vt, value)
    assert v.vt == vt and v.value == shown
    assert echo.Echo(v) == shown


@pytest.mark.parametrize("vt, value, error", [
    (cvole.VT_I1, 128, OverflowError), (cvole.VT_I1, -129, OverflowError), (cvole.VT_UI1, -1, OverflowError),
    (cvole.VT_UI1, 256, OverflowError), (cvole.VT_I2, 32768, OverflowError), (cvole.VT_UI2, 65536, OverflowError),
    (cvole.VT_I4, 2 ** 31, OverflowError), (cvole.VT_UI4, 2 ** 32, OverflowError), (cvole.VT_UI4, -1, OverflowError),
    (cvole.VT_I8, 2 ** 63, OverflowError), (cvole.VT_UI8, 2 ** 64, OverflowError), (cvole.VT_R4, 1e39, OverflowError),
    (cvole.VT_CY, Decimal("1e15"), OverflowError), (cvole.VT_I4, 1.5, TypeError), (cvole.VT_BSTR, 5, TypeError),
    (cvole.VT_DISPATCH, 5, TypeError), (cvole.VT_EMPTY, 1, ValueError), (cvole.VT_VARIANT, 1, ValueError),
    (cvole.VT_BYREF | cvole.VT_I4, 1, ValueError), (cvole.VT_DATE, datetime.datetime(99, 12, 31), OverflowError),
])
def test_variant_refuses_values_out_of_its_type(vt, value, error):
    with pytest.raises(error):
        cvole.Variant(vt, value)


@pytest.mark.parametrize("value, error", [
    (2 ** 31, OverflowError), (-(2 ** 31) - 1, OverflowError), (Index(2 ** 40), OverflowError), (b"bytes", TypeError), ([1, 2], TypeError),
    (object(), TypeError), (datetime.datetime(50, 1, 1), OverflowError),
    (datetime.datetime(2020, 1, 1, tzinfo=datetime.timezone.utc), ValueError), ("\ud800", UnicodeEncodeError),
])
def test_values_without_an_automation_form_are_refused(echo, value, error):
    before = cvole._live_bstr_count()
    with pytest.raises(error):
        echo.Describe("kept until the failure", value)
    assert cvole._live_bstr_count() == before


def test_dates_count_down_before_1899_with_the_time_forward(echo):
    for when, number in [(datetime.datetime(1899, 12, 30), 0.0), (datetime.datetime(1899, 12, 29, 6), -1.25),
                         (datetime.datetime(1899, 12, 31, 18), 1.75), (datetime.datetime(1899, 12, 28, 12), -2.5)]:
        assert echo.Make(cvole.VT_R8, when) == number
        assert echo.Make(cvole.VT_DATE, number) == when


# ---- by reference ------------------------------------------------------------------------

@pytest.mark.parametrize("value, sent, after", [
    (5, "VT_BYREF|VT_I4", 6),
    ("x", "VT_BYREF|VT_BSTR", "x!"),
    (2.5, "VT_BYREF|VT_R8", 5.0),
    (True, "VT_BYREF|VT_BOOL", False),
    (cvole.Variant(cvole.VT_I2, 3), "VT_BYREF|VT_I2", 4),
    (cvole.Variant(cvole.VT_UI8, 2 ** 64 - 2), "VT_BYREF|VT_UI8", 2 ** 64 - 1),
    (cvole.Variant(cvole.VT_CY, Decimal("1.5")), "VT_BYREF|VT_CY", Decimal("2.5000")),
    (datetime.datetime(2001, 1, 2, 3, 4, 5), "VT_BYREF|VT_DATE", datetime.datetime(2001, 1, 3, 3, 4, 5)),
    (None, "VT_BYREF|VT_VARIANT>VT_EMPTY", 1),
])
def test_by_reference_arguments_are_written_back(echo, value, sent, after):
    assert echo.TypeName(cvole.ByRef(value)) == sent
    ref = cvole.ByRef(value)
    assert echo.Increment(ref) is None
    assert ref.value == after and type(ref.value) is type(after)


def test_a_reference_to_a_variant_may_change_its_type(echo):
    ref = cvole.ByRef(5, variant=True)
    assert echo.TypeName(ref) == "VT_BYREF|VT_VARIANT>VT_I4"
    echo.Assign(ref, "now text")
    assert ref.value == "now text"
    typed = cvole.ByRef(5)
    echo.Assign(typed, "42")  # a typed reference keeps its type
    assert typed.value == 42
    text = cvole.ByRef("old")
    echo.Assign(text, 17)
    assert text.value == "17"


def test_nested_references(echo):
    inner = cvole.ByRef(5)
    outer = cvole.ByRef(inner)
    assert echo.TypeName(outer) == "VT_BYREF|VT_VARIANT>VT_BYREF|VT_I4"
    assert echo.Echo(outer) == 5
    echo.Increment(outer)  # through both references
    assert outer.value is inner and inner.value == 6
    echo.Assign(outer, "replaced")  # the outer VARIANT itself
    assert outer.value == "replaced" and inner.value == 6
    deep = cvole.ByRef(cvole.ByRef(cvole.ByRef("x")))
    echo.Increment(deep)
    assert deep.value.value.value == "x!"


def test_references_to_interfaces(echo):
    other = cvole.Dispatch("CvoleTest.Echo.1")
    ref = cvole.ByRef(other)
    assert echo.TypeName(ref) == "VT_BYREF|VT_DISPATCH"
    echo.Increment(ref)  # replaced by the echo itself
    assert ref.value == echo and ref.value != other
    ref = cvole.ByRef(other.Self)
    echo.Increment(ref)
    assert type(ref.value) is cvole.Unknown and ref.value == echo


def test_a_value_is_not_a_reference(echo):
    with pytest.raises(cvole.DispatchError) as e:
        echo.Increment(5)
    assert e.value.code == 1002
    with pytest.raises(TypeError, match="not ByRef"):
        cvole.Variant(cvole.VT_UNKNOWN, cvole.ByRef(1))
    with pytest.raises(TypeError):
        cvole.Variant(cvole.VT_I4, cvole.ByRef(1))


# ---- members -------------------------------------------------------------------------------

def test_type_information_tells_methods_from_properties(echo):
    bump = echo.Bump  # a method without arguments is not called by reading it
    assert isinstance(bump, cvole.Method) and bump.dispid > 0
    assert echo.Counter == 0
    bump()
    echo.bump()  # names are looked up without regard to case
    assert echo.Counter == 2 and echo.COUNTER == 2


def test_properties_with_arguments(echo):
    assert isinstance(echo.Slot, cvole.Method)
    assert echo.Slot(1) is None
    echo.set("Slot", 1, "one")
    echo.set("slot", 2, cvole.Variant(cvole.VT_I2, 2))
    assert (echo.Slot(1), echo.Slot(2)) == ("one", 2)
    with pytest.raises(TypeError):
        echo.set("Slot")
    echo.Value = datetime.date(2020, 2, 3)
    assert echo.Value == datetime.datetime(2020, 2, 3)
    echo.Text = 12  # the object converts to its property's type
    assert echo.Text == "12"


def test_raw_invoke(echo):
    slot = echo.Slot.dispid
    echo.invoke(slot, cvole.DISPATCH_PROPERTYPUT, 3, "three")
    assert echo.invoke(slot, cvole.DISPATCH_PROPERTYGET, 3) == "three"
    assert echo.invoke(echo.Describe.dispid, cvole.DISPATCH_METHOD, cvole.Missing, 4) == "missing,VT_I4,missing,missing"
    with pytest.raises(cvole.ComError) as e:
        echo.invoke(999, cvole.DISPATCH_METHOD)
    assert e.value.hresult == cvole.DISP_E_MEMBERNOTFOUND


def test_objects_without_type_information(echo):
    items = echo.Items(2)
    first = items(0)  # the default member
    assert items[1].Index == 2 and first.Name == "Item 1" and first.name == "Item 1"
    assert first.Created == datetime.datetime(2001, 1, 3, 3, 4, 5)
    assert isinstance(items.Item, cvole.Method)  # it wants an argument
    first.Tag = cvole.Variant(cvole.VT_UI2, 9)
    assert first.Tag == 9 and items[0].Tag == 9
    with pytest.raises(cvole.ComError) as e:
        items[5]
    assert e.value.hresult == cvole.DISP_E_BADINDEX


def test_unknown_members_are_attribute_errors(echo):
    assert not hasattr(echo, "NoSuchMember")
    with pytest.raises(AttributeError, match="NoSuchMember"):
        echo.NoSuchMember = 1
    with pytest.raises(AttributeError):
        echo.__no_such_dunder__


@pytest.mark.parametrize("call, hresult, message", [
    (lambda e: e.Items("many"), cvole.DISP_E_TYPEMISMATCH, "'Items', argument 1: Type mismatch (0x80020005)"),
    (lambda e: e.Make(cvole.VT_I2, "x"), cvole.DISP_E_TYPEMISMATCH, "'Make': Type mismatch (0x80020005)"),
    (lambda e: e.Echo(1, 2), cvole.DISP_E_BADPARAMCOUNT, "'Echo': Invalid number of parameters (0x8002000E)"),
    (lambda e: e.Echo(), cvole.DISP_E_PARAMNOTOPTIONAL, "'Echo': Parameter not optional (0x8002000F)"),
    (lambda e: e(), cvole.DISP_E_MEMBERNOTFOUND, "the default member: Member not found (0x80020003)"),
    (lambda e: e.FailHresult(cvole.E_NOTIMPL - 2 ** 32), cvole.E_NOTIMPL, "'FailHresult': Not implemented (0x80004001)"),
    (lambda e: e.FailHresult(0x80041234 - 2 ** 32), 0x80041234, "'FailHresult': Error (0x80041234)"),
])
def test_failing_calls_raise_com_errors(echo, call, hresult, message):
    with pytest.raises(cvole.ComError) as e:
        call(echo)
    assert type(e.value) is cvole.ComError
    assert (e.value.hresult, str(e.value)) == (hresult, message)


def test_keyword_arguments_are_refused(echo):
    with pytest.raises(TypeError, match="positional"):
        echo.Echo(Value=1)


@pytest.mark.parametrize("call, code, scode, description, source, message", [
    (lambda e: e.Fail(1234, "Boom"), 1234, 0, "Boom", "EchoLib", "Boom (code 1234)"),
    (lambda e: e.Fail(52757, ""), 52757, 0, "", "EchoLib", "Exception occurred (code 52757)"),
    (lambda e: e.FailScode(cvole.CTL_E_SETNOTSUPPORTED - 2 ** 32), 383, cvole.CTL_E_SETNOTSUPPORTED,
     "Property is read-only", "EchoLib", "Property is read-only (code 383, 0x800A017F)"),
    (lambda e: e.FailScode(cvole.E_INVALIDARG - 2 ** 32, "Bad"), 0, cvole.E_INVALIDARG, "Bad", "EchoLib",
     "Bad (0x80070057)"),
    (lambda e: setattr(e, "Counter", 3), 383, cvole.CTL_E_SETNOTSUPPORTED, "Property is read-only", "",
     "Property is read-only (code 383, 0x800A017F)"),
])
def test_dispatch_exceptions(echo, call, code, scode, description, source, message):
    with pytest.raises(cvole.DispatchError) as e:
        call(echo)
    err = e.value
    assert isinstance(err, cvole.ComError) and err.hresult == cvole.DISP_E_EXCEPTION
    assert (err.code, err.scode, err.description, err.source, str(err)) == (code, scode, description, source, message)


def test_exception_help_fields(echo):
    with pytest.raises(cvole.DispatchError) as e:
        echo.Fail(7, "x")
    assert (e.value.helpfile, e.value.helpcontext) == ("echo.hlp", 42)


# ---- objects, enumerators, reference counts ------------------------------------------------

def test_creation(echo):
    assert cvole.Dispatch("{7C3E5A12-91B4-4F2D-8E6A-3B1D2C4E5F60}").Counter == 0
    assert cvole.Dispatch(echo.Self) == echo and cvole.Dispatch(echo) == echo
    with pytest.raises(TypeError):
        cvole.Dispatch(5)


@pytest.mark.parametrize("name, hresult", [
    ("No.Such.Class", cvole.CO_E_CLASSSTRING),
    ("{00000000-0000-0000-0000-0000000000AA}", cvole.REGDB_E_CLASSNOTREG),
    ("{not-a-guid}", cvole.CO_E_CLASSSTRING),
])
def test_creation_failures(name, hresult):
    with pytest.raises(cvole.ComError) as e:
        cvole.Dispatch(name)
    assert e.value.hresult == hresult and name in str(e.value)


def test_collections_and_enumerators(echo):
    assert [i.Name for i in echo.Items(3)] == ["Item 1", "Item 2", "Item 3"]
    assert list(echo.Items(0)) == []
    assert list(echo.Numbers(4)) == [1, 2, 3, 4]
    numbers = iter(echo.Numbers(5))
    assert next(numbers) == 1
    copy = numbers.clone()
    assert numbers.skip(2) and next(numbers) == 4
    assert list(copy) == [2, 3, 4, 5]  # a clone moves on its own
    assert not numbers.skip(5) and list(numbers) == []
    numbers.reset()
    assert list(numbers) == [1, 2, 3, 4, 5]
    with pytest.raises(TypeError, match="enumerator"):
        iter(echo.Self)
    with pytest.raises(TypeError, match="_NewEnum"):
        iter(echo)


def test_entries_outlive_their_collection(echo):
    base = echo.LiveObjects
    items = echo.Items(3)
    assert echo.LiveObjects == base + 4
    entries = list(items)
    enumerator = iter(echo.Items(2))
    del items
    gc.collect()
    assert echo.LiveObjects == base + 3 + 3  # the entries, the second collection's two and its enumerator
    assert [e.Index for e in entries] == [1, 2, 3]
    assert [e.Index for e in enumerator] == [1, 2]
    del entries, enumerator
    gc.collect()
    assert echo.LiveObjects == base


def test_no_references_or_strings_leak(echo):
    gc.collect()
    objects, strings = echo.LiveObjects, cvole._live_bstr_count()
    for i in range(200):
        ref = cvole.ByRef(cvole.ByRef(f"text {i}"))
        echo.Increment(ref)
        assert echo.Echo(f"x{i}") == f"x{i}"
        echo.TypeName(cvole.Variant(cvole.VT_BSTR, "y"))
        echo.Describe(echo, echo.Self, "z", cvole.ByRef(echo))
        echo.Assign(cvole.ByRef("a"), "b")
        for item in echo.Items(2):
            item.Tag = item.Name
        with pytest.raises(cvole.DispatchError):
            echo.Fail(1, "message")
    del ref, item
    gc.collect()
    assert (echo.LiveObjects, cvole._live_bstr_count()) == (objects, strings)
