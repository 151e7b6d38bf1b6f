// Python values <-> VARIANT, cvole.Variant, cvole.ByRef and cvole.Missing,
// and the argument list of one Invoke.
#include <Python.h>
#include <datetime.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "cvole.h"
#include "ole/bstr.h"
#include "ole/date.h"

namespace cvole {
namespace {

// A VARIANT may point at a VARIANT that points at another; a chain longer
// than this is refused (it can only be a cycle or a mistake).
constexpr int kMaxReferenceDepth = 16;
constexpr long long kMsPerDay = 86400000;

py::object& MissingObject() {
  static py::object* missing = new py::object();
  return *missing;
}

py::object& DecimalClass() {
  static py::object* cls = new py::object();  // lives as long as the interpreter
  return *cls;
}

[[noreturn]] void Throw(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

std::string TypeNameOf(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

// ---- text ----

BSTR BstrFromPython(py::handle obj) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (!utf8) throw py::error_already_set();
  BSTR b = ole::BstrFromUtf8(std::string_view(utf8, static_cast<std::size_t>(size)));
  if (!b) throw std::bad_alloc();
  return b;
}

py::object StrFromBstr(BSTR b) {
  const std::string utf8 = ole::BstrToUtf8(b);
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

// ---- dates ----

bool IsDate(py::handle obj) { return PyDate_Check(obj.ptr()); }  // datetime.datetime included

DATE DateFromPython(py::handle obj) {
  PyObject* o = obj.ptr();
  int hour = 0, minute = 0, second = 0, micro = 0;
  if (PyDateTime_Check(o)) {
    if (!py::reinterpret_borrow<py::object>(o).attr("tzinfo").is_none())
      Throw(PyExc_ValueError, "a VT_DATE has no time zone: pass a naive datetime");
    hour = PyDateTime_DATE_GET_HOUR(o);
    minute = PyDateTime_DATE_GET_MINUTE(o);
    second = PyDateTime_DATE_GET_SECOND(o);
    micro = PyDateTime_DATE_GET_MICROSECOND(o);
  }
  auto day = ole::DateFromCivil({PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o), 0, 0, 0});
  if (!day) Throw(PyExc_OverflowError, "a VT_DATE holds the years 100 to 9999 only");
  const double fraction = (hour * 3600.0 + minute * 60.0 + second + micro / 1e6) / 86400.0;
  // Before 30 December 1899 the day counts down while the time of day still
  // counts forward: 29 December 1899, 06:00 is -1.25.
  return *day >= 0 ? *day + fraction : *day - fraction;
}

py::object DateToPython(DATE d) {
  if (!std::isfinite(d) || d < ole::kMinDate - 1 || d > ole::kMaxDate + 1)
    Throw(PyExc_ValueError, "VT_DATE " + std::to_string(d) + " is outside the years 100 to 9999");
  const double whole = std::trunc(d);
  long long days = static_cast<long long>(whole);
  long long ms = std::llround(std::fabs(d - whole) * kMsPerDay);
  if (ms >= kMsPerDay) {  // rounded up to the next midnight
    ++days;
    ms -= kMsPerDay;
  }
  auto civil = ole::CivilFromDate(static_cast<double>(days));
  if (!civil) Throw(PyExc_ValueError, "VT_DATE " + std::to_string(d) + " is outside the years 100 to 9999");
  PyObject* dt = PyDateTime_FromDateAndTime(civil->year, civil->month, civil->day, static_cast<int>(ms / 3600000),
                                            static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                                            static_cast<int>(ms % 1000) * 1000);
  if (!dt) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(dt);
}

// ---- currency ----

CY CurrencyFromPython(py::handle obj) {
  py::object exact = DecimalClass()(obj);
  py::object product = py::reinterpret_steal<py::object>(PyNumber_Multiply(exact.ptr(), py::int_(10000).ptr()));
  if (!product) throw py::error_already_set();
  py::object scaled = product.attr("to_integral_value")();
  py::int_ n(scaled);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (overflow != 0) Throw(PyExc_OverflowError, "value out of the VT_CY range");
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return CY{v};
}

py::object CurrencyToPython(const CY& cy) { return DecimalClass()(py::int_(cy.int64)).attr("scaleb")(-4); }

// ---- integers ----

long long SignedFromPython(py::handle obj, long long lo, long long hi, VARTYPE vt) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || v < lo || v > hi)
    Throw(PyExc_OverflowError, std::string(py::str(obj)) + " is out of the range of " + ole::VarTypeName(vt));
  return v;
}

unsigned long long UnsignedFromPython(py::handle obj, unsigned long long hi, VARTYPE vt) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
  if (!index) throw py::error_already_set();
  auto outOfRange = [&] {
    Throw(PyExc_OverflowError, std::string(py::str(obj)) + " is out of the range of " + ole::VarTypeName(vt));
  };
  if (PyObject_RichCompareBool(index.ptr(), py::int_(0).ptr(), Py_LT) == 1) outOfRange();
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    outOfRange();
  }
  if (v > hi) outOfRange();
  return v;
}

double DoubleFromPython(py::handle obj) {
  const double d = PyFloat_AsDouble(obj.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

// ---- interfaces ----

IUnknown* UnknownOf(py::handle obj) {
  if (py::isinstance<PyUnknown>(obj)) return obj.cast<PyUnknown&>().unk.Get();
  if (py::isinstance<PyDispatch>(obj)) return obj.cast<PyDispatch&>().Get();
  return nullptr;
}

// A value of exactly type vt into the empty out.
void MakeTyped(VARTYPE vt, py::handle value, VARIANT* out) {
  auto needNone = [&] {
    if (!value.is_none()) Throw(PyExc_ValueError, ole::VarTypeName(vt) + " carries no value: pass None");
  };
  VARIANT v;
  VariantInit(&v);
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      needNone();
      break;
    case VT_I1: v.cVal = static_cast<CHAR>(SignedFromPython(value, -128, 127, vt)); break;
    case VT_I2: v.iVal = static_cast<SHORT>(SignedFromPython(value, INT16_MIN, INT16_MAX, vt)); break;
    case VT_I4: v.lVal = static_cast<LONG>(SignedFromPython(value, INT32_MIN, INT32_MAX, vt)); break;
    case VT_INT: v.intVal = static_cast<INT>(SignedFromPython(value, INT32_MIN, INT32_MAX, vt)); break;
    case VT_I8: v.llVal = SignedFromPython(value, INT64_MIN, INT64_MAX, vt); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(UnsignedFromPython(value, UINT8_MAX, vt)); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(UnsignedFromPython(value, UINT16_MAX, vt)); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(UnsignedFromPython(value, UINT32_MAX, vt)); break;
    case VT_UINT: v.uintVal = static_cast<UINT>(UnsignedFromPython(value, UINT32_MAX, vt)); break;
    case VT_UI8: v.ullVal = UnsignedFromPython(value, UINT64_MAX, vt); break;
    case VT_R4: {
      const double d = DoubleFromPython(value);
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) Throw(PyExc_OverflowError, "value out of the VT_R4 range");
      v.fltVal = static_cast<FLOAT>(d);
      break;
    }
    case VT_R8: v.dblVal = DoubleFromPython(value); break;
    case VT_CY: v.cyVal = CurrencyFromPython(value); break;
    case VT_DATE: v.date = IsDate(value) ? DateFromPython(value) : DoubleFromPython(value); break;
    case VT_BOOL: {
      const int truth = PyObject_IsTrue(value.ptr());
      if (truth < 0) throw py::error_already_set();
      v.boolVal = truth ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    }
    case VT_ERROR: v.scode = static_cast<SCODE>(SignedFromPython(value, INT32_MIN, UINT32_MAX, vt)); break;
    case VT_BSTR:
      if (!PyUnicode_Check(value.ptr())) Throw(PyExc_TypeError, "VT_BSTR takes a str, not " + TypeNameOf(value));
      v.bstrVal = BstrFromPython(value);
      break;
    case VT_DISPATCH:
      if (!value.is_none()) {
        IUnknown* u = UnknownOf(value);
        if (!u) Throw(PyExc_TypeError, "VT_DISPATCH takes a cvole.Dispatch or None, not " + TypeNameOf(value));
        ComPtr<IDispatch> d;
        HRESULT hr = u->QueryInterface(IID_IDispatch, d.PpvOut());
        if (FAILED(hr)) RaiseComError(hr, "VT_DISPATCH of a cvole.Unknown");
        v.pdispVal = d.Detach();
      }
      break;
    case VT_UNKNOWN:
      if (!value.is_none()) {
        IUnknown* u = UnknownOf(value);
        if (!u) Throw(PyExc_TypeError, "VT_UNKNOWN takes a cvole.Unknown, a cvole.Dispatch or None, not " + TypeNameOf(value));
        u->AddRef();
        v.punkVal = u;
      }
      break;
    default:
      Throw(PyExc_ValueError, "cvole.Variant does not carry " + ole::VarTypeName(vt));
  }
  v.vt = vt;
  *out = v;
}

py::object FromVariantAt(const VARIANT& v, int depth) {
  if (v.vt == (VT_BYREF | VT_VARIANT)) {
    if (!v.pvarVal) return py::none();
    if (depth >= kMaxReferenceDepth) Throw(PyExc_ValueError, "a chain of VARIANT references too deep to follow");
    return FromVariantAt(*v.pvarVal, depth + 1);
  }
  if (v.vt & VT_BYREF) {
    CComVariant value;
    HRESULT hr = VariantCopyInd(&value, &v);
    if (FAILED(hr)) RaiseComError(hr, "reading a " + ole::VarTypeName(v.vt) + " result");
    return FromVariantAt(value, depth);
  }
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL: return py::none();
    case VT_I1: return py::int_(static_cast<signed char>(v.cVal));
    case VT_I2: return py::int_(v.iVal);
    case VT_I4: return py::int_(v.lVal);
    case VT_INT: return py::int_(v.intVal);
    case VT_I8: return py::int_(v.llVal);
    case VT_UI1: return py::int_(v.bVal);
    case VT_UI2: return py::int_(v.uiVal);
    case VT_UI4: return py::int_(v.ulVal);
    case VT_UINT: return py::int_(v.uintVal);
    case VT_UI8: return py::int_(v.ullVal);
    case VT_R4: return py::float_(v.fltVal);
    case VT_R8: return py::float_(v.dblVal);
    case VT_CY: return CurrencyToPython(v.cyVal);
    case VT_DATE: return DateToPython(v.date);
    case VT_BSTR: return StrFromBstr(v.bstrVal);
    case VT_BOOL: return py::bool_(v.boolVal != VARIANT_FALSE);
    case VT_ERROR:
      if (v.scode == DISP_E_PARAMNOTFOUND) return MissingObject();
      return py::cast(TypedValue{CComVariant::FromError(v.scode)});
    case VT_DISPATCH: return WrapDispatch(v.pdispVal);
    case VT_UNKNOWN: return WrapUnknown(v.punkVal);
    default: Throw(PyExc_TypeError, "cvole cannot read a " + ole::VarTypeName(v.vt) + " value");
  }
}

// The Python value of a cvole.Variant: an SCODE reads as its number.
py::object ValueOf(const TypedValue& t) {
  if (t.value.vt == VT_ERROR) return py::int_(static_cast<std::uint32_t>(t.value.scode));
  return FromVariant(t.value);
}

std::string Repr(const TypedValue& t) {
  std::string value = py::repr(ValueOf(t));
  return "cvole.Variant(cvole." + ole::VarTypeName(t.value.vt) + ", " + value + ")";
}

}  // namespace

void ToVariant(py::handle obj, VARIANT* out) {
  VariantInit(out);
  PyObject* o = obj.ptr();
  if (obj.is_none()) return;
  if (py::isinstance<TypedValue>(obj)) {
    HRESULT hr = VariantCopy(out, &obj.cast<TypedValue&>().value);
    if (FAILED(hr)) RaiseComError(hr, "copying a cvole.Variant");
    return;
  }
  if (py::isinstance<MissingType>(obj)) {
    out->vt = VT_ERROR;
    out->scode = DISP_E_PARAMNOTFOUND;
    return;
  }
  if (PyBool_Check(o)) {
    out->vt = VT_BOOL;
    out->boolVal = o == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
    return;
  }
  if (PyLong_Check(o) || (PyIndex_Check(o) && !PyFloat_Check(o))) {  // int, and integers of other libraries
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(o));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
      Throw(PyExc_OverflowError, std::string(py::str(obj)) +
                                     " does not fit a VT_I4; pass cvole.Variant(cvole.VT_I8, ...) or another type");
    out->vt = VT_I4;
    out->lVal = static_cast<LONG>(v);
    return;
  }
  if (PyFloat_Check(o)) {
    out->vt = VT_R8;
    out->dblVal = PyFloat_AS_DOUBLE(o);
    return;
  }
  if (PyUnicode_Check(o)) {
    out->bstrVal = BstrFromPython(obj);
    out->vt = VT_BSTR;
    return;
  }
  if (IsDate(obj)) {
    out->date = DateFromPython(obj);
    out->vt = VT_DATE;
    return;
  }
  if (py::isinstance<PyDispatch>(obj)) {
    IDispatch* d = obj.cast<PyDispatch&>().Get();
    d->AddRef();
    out->vt = VT_DISPATCH;
    out->pdispVal = d;
    return;
  }
  if (py::isinstance<PyUnknown>(obj)) {
    IUnknown* u = obj.cast<PyUnknown&>().unk.Get();
    u->AddRef();
    out->vt = VT_UNKNOWN;
    out->punkVal = u;
    return;
  }
  if (py::isinstance<ByRef>(obj)) Throw(PyExc_TypeError, "a cvole.ByRef is passed only as an argument of a call");
  Throw(PyExc_TypeError, "cvole cannot pass a " + TypeNameOf(obj) + " to an automation object");
}

py::object FromVariant(const VARIANT& v) { return FromVariantAt(v, 0); }

// ---- ArgPack -----------------------------------------------------------------------

ArgPack::ArgPack(const std::vector<py::handle>& args, bool put) {
  const std::size_t n = args.size();
  args_.resize(n);
  for (VARIANT& a : args_) VariantInit(&a);
  try {
    for (std::size_t i = 0; i < n; ++i) {
      VARIANT* arg = &args_[n - 1 - i];
      if (py::isinstance<ByRef>(args[i]))
        MakeReference(args[i], arg, 0);
      else
        ToVariant(args[i], arg);
    }
  } catch (...) {
    for (VARIANT& a : args_) VariantClear(&a);
    throw;
  }
  params_.rgvarg = n ? args_.data() : nullptr;
  params_.cArgs = static_cast<UINT>(n);
  if (put && n > 0) {
    params_.rgdispidNamedArgs = &putId_;
    params_.cNamedArgs = 1;
  }
}

ArgPack::~ArgPack() {
  for (VARIANT& a : args_) VariantClear(&a);
}

void ArgPack::MakeReference(py::handle ref, VARIANT* arg, int depth) {
  if (depth >= kMaxReferenceDepth) Throw(PyExc_ValueError, "cvole.ByRef nested too deeply");
  ByRef& r = ref.cast<ByRef&>();
  CComVariant& slot = slots_.emplace_back();
  bool variantSlot = true;
  if (py::isinstance<ByRef>(r.value)) {
    MakeReference(r.value, &slot, depth + 1);
  } else {
    ToVariant(r.value, &slot);
    // VT_EMPTY and VT_NULL have no by-reference form; they travel in a VARIANT.
    variantSlot = slot.vt == VT_EMPTY || slot.vt == VT_NULL || r.variant;
  }
  if (variantSlot) {
    arg->vt = VT_BYREF | VT_VARIANT;
    arg->pvarVal = &slot;
  } else {
    arg->vt = VT_BYREF | slot.vt;
    arg->byref = &slot.llVal;  // every member of the value union starts here
  }
  backs_.push_back(Back{py::reinterpret_borrow<py::object>(ref), &slot, variantSlot, slot});
}

void ArgPack::WriteBack() {
  for (const Back& b : backs_) {
    ByRef& r = b.ref.cast<ByRef&>();
    // A nested reference that the callee left in place keeps its ByRef; the
    // inner one has its own entry.
    if (b.variantSlot && py::isinstance<ByRef>(r.value) && b.slot->vt == b.asSent.vt && b.slot->byref == b.asSent.byref)
      continue;
    r.value = FromVariant(*b.slot);
  }
}

std::size_t ArgPack::Position(UINT index) const { return args_.size() - index; }

// ---- module ------------------------------------------------------------------------

void InitConvert(py::module_& m) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  DecimalClass() = py::module_::import("decimal").attr("Decimal");

  py::class_<TypedValue>(m, "Variant",
                         "A value sent with an explicit VARTYPE: Variant(VT_I2, 3), Variant(VT_UI4, 4000000000),\n"
                         "Variant(VT_CY, Decimal('1.25')), Variant(VT_NULL). .value is the value as it will be sent.")
      .def(py::init([](VARTYPE vt, py::object value) {
             TypedValue t;
             MakeTyped(vt, value, &t.value);
             return t;
           }),
           py::arg("vt"), py::arg("value") = py::none())
      .def_property_readonly("vt", [](const TypedValue& t) { return t.value.vt; })
      .def_property_readonly("value", &ValueOf)
      .def("__repr__", &Repr)
      .def("__eq__", [](const TypedValue& a, py::object b) {
        if (!py::isinstance<TypedValue>(b)) return false;
        const TypedValue& o = b.cast<TypedValue&>();
        return a.value.vt == o.value.vt && ValueOf(a).equal(ValueOf(o));
      })
      .def("__hash__", [](const TypedValue& t) {
        return py::hash(py::make_tuple(t.value.vt, ValueOf(t)));
      });

  py::class_<ByRef>(m, "ByRef",
                    "A by-reference argument. ByRef(5) is sent as VT_BYREF|VT_I4, ByRef(Variant(VT_I2, 3)) as\n"
                    "VT_BYREF|VT_I2, ByRef(x, variant=True) and ByRef(None) as VT_BYREF|VT_VARIANT, and\n"
                    "ByRef(ByRef(x)) as a VT_BYREF|VT_VARIANT holding the inner reference. After the call\n"
                    ".value holds what the callee left there.")
      .def(py::init([](py::object value, bool variant) { return ByRef{std::move(value), variant}; }),
           py::arg("value") = py::none(), py::kw_only(), py::arg("variant") = false)
      .def_readwrite("value", &ByRef::value)
      .def_readonly("variant", &ByRef::variant)
      .def("__repr__", [](const ByRef& r) { return "cvole.ByRef(" + std::string(py::repr(r.value)) + ")"; });

  py::class_<MissingType>(m, "_MissingType")
      .def("__repr__", [](const MissingType&) { return "cvole.Missing"; })
      .def("__eq__", [](const MissingType&, py::object o) { return py::isinstance<MissingType>(o); })
      .def("__hash__", [](const MissingType&) { return 0x4D495353; });
  MissingObject() = py::cast(MissingType{});
  m.attr("Missing") = MissingObject();
}

}  // namespace cvole
