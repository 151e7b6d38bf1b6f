// Self-registration of the module's classes.
#pragma once

#include "ole/hresult.h"

namespace cvsrva {

// The control's registry entries and its two component categories; false
// when the class entries cannot be written (category failures are ignored).
bool UpdateControlRegistry(bool registering);
// The property page's class entries (type name string 2), or their removal
// by class id.
bool UpdatePageRegistry(bool registering);

HRESULT RegisterServer();
HRESULT UnregisterServer();

}  // namespace cvsrva
