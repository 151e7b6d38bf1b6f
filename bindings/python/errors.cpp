// cvole.ComError and cvole.DispatchError, and raising them from HRESULTs and
// exception information.
#include <pybind11/eval.h>

#include <cstdio>

#include "cvole.h"
#include "ole/bstr.h"
#include "ole/com.h"

namespace cvole {
namespace {

// Plain Python classes, so that they carry their attributes as any
// exception does and can be subclassed or raised by scripts.
constexpr const char* kErrorClasses = R"(
class ComError(Exception):
    """A failing HRESULT: .hresult is the code as an unsigned 32-bit number."""

    def __init__(self, message, hresult):
        super().__init__(message)
        self.hresult = hresult


class DispatchError(ComError):
    """An automation exception an object raised (DISP_E_EXCEPTION).

    .code is the object's 16-bit error code (for a control error given as an
    SCODE of FACILITY_CONTROL, its low word), .scode the SCODE it reported (0
    when it gave a code), .description, .source, .helpfile and .helpcontext
    its texts.
    """

    def __init__(self, message, code, scode, description, source, helpfile="", helpcontext=0):
        super().__init__(message, 0x80020009)
        self.code = code
        self.scode = scode
        self.description = description
        self.source = source
        self.helpfile = helpfile
        self.helpcontext = helpcontext
)";

py::object& ComErrorClass() {
  static py::object* cls = new py::object();  // lives as long as the interpreter
  return *cls;
}
py::object& DispatchErrorClass() {
  static py::object* cls = new py::object();
  return *cls;
}

[[noreturn]] void Raise(const py::object& cls, const py::object& instance) {
  PyErr_SetObject(cls.ptr(), instance.ptr());
  throw py::error_already_set();
}

}  // namespace

void InitErrors(py::module_& m) {
  py::dict scope;
  scope["__builtins__"] = py::module_::import("builtins");
  scope["__name__"] = "cvole";
  py::exec(kErrorClasses, scope);
  ComErrorClass() = scope["ComError"];
  DispatchErrorClass() = scope["DispatchError"];
  m.attr("ComError") = ComErrorClass();
  m.attr("DispatchError") = DispatchErrorClass();
}

std::string Hex(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", value);
  return buf;
}


void RaiseComError(HRESULT hr, const std::string& context) {
  std::string text(ole::ErrorMessage(hr));
  if (text.empty()) text = "Error";
  std::string message = context.empty() ? text : context + ": " + text;
  message += " (" + Hex(static_cast<std::uint32_t>(hr)) + ")";
  Raise(ComErrorClass(), ComErrorClass()(message, static_cast<std::uint32_t>(hr)));
}

void RaiseDispatchError(const EXCEPINFO& info) {
  const std::uint32_t scode = static_cast<std::uint32_t>(info.scode);
  unsigned code = info.wCode;
  // A control error given as an SCODE (0x800A....) carries its number in the
  // low word, as Visual Basic reads it.
  if (code == 0 && HRESULT_FACILITY(info.scode) == FACILITY_CONTROL) code = HRESULT_CODE(info.scode);

  const std::string description = ole::BstrToUtf8(info.bstrDescription);
  const std::string source = ole::BstrToUtf8(info.bstrSource);
  const std::string helpFile = ole::BstrToUtf8(info.bstrHelpFile);

  std::string message = description;
  if (message.empty()) {
    std::string_view text = ole::ErrorMessage(info.scode);
    message = text.empty() ? "Exception occurred" : std::string(text);
  }
  if (info.wCode != 0)
    message += " (code " + std::to_string(code) + ")";
  else if (code != 0)
    message += " (code " + std::to_string(code) + ", " + Hex(scode) + ")";
  else
    message += " (" + Hex(scode) + ")";

  Raise(DispatchErrorClass(),
        DispatchErrorClass()(message, code, scode, description, source, helpFile, info.dwHelpContext));
}

}  // namespace cvole
