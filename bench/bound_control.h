// For the benches that go through the control: CVSRVA.OCX registered in a
// private registry and bound to \\SRV1 of a running agent.
#pragma once

#include "ids.h"
#include "ole/com.h"
#include "ole/comptr.h"
#include "support/automation.h"
#include "support/run.h"
#include "support/temp_dir.h"

namespace benchsupport {

// The control, or nothing with the reason in *error. The registry must
// outlive the control.
inline ComPtr<IDispatch> BoundControl(const testsupport::ScopedRegistry&, const char** error) {
  auto reg = testsupport::RunShell(testsupport::Quote(REGSVR32_PATH) + " /s " + testsupport::Quote(CVSRVA_PATH));
  if (reg.status != 0) {
    *error = "CVSRVA.OCX could not be registered";
    return {};
  }
  ComPtr<IDispatch> control;
  if (FAILED(CoCreateInstance(cvsrva::CLSID_CvSrvAdm, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.PpvOut()))) {
    *error = "the control could not be created";
    return {};
  }
  if (FAILED(testsupport::Put(control.Get(), u"FullName", CComVariant(u"\\\\SRV1")))) {
    *error = "the control did not bind";
    return {};
  }
  return control;
}

}  // namespace benchsupport
