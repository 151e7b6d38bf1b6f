// Modules that fail in the ways a registration tool and a client must report:
// NOENTRY.OCX exports nothing of an in-process server; FAILREG.OCX has a
// DllRegisterServer that fails.
#include "ole/server.h"

#ifdef FAILING_REGISTRATION
OLE_EXPORT HRESULT DllRegisterServer() { return SELFREG_E_CLASS; }
OLE_EXPORT HRESULT DllGetClassObject(REFCLSID, REFIID, void** object) {
  if (object) *object = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}
#else
OLE_EXPORT int NotAServer() { return 42; }
#endif
