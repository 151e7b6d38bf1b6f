// Creating objects of in-process servers: the module named by
// CLSID\{...}\InprocServer32 is loaded with dlopen (once per process) and asked
// for its class object through DllGetClassObject.
#pragma once

#include <string>
#include <string_view>

#include "ole/guid.h"
#include "ole/interfaces.h"

enum CLSCTX : DWORD {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_ALL = 0x17,
};
enum COINIT : DWORD { COINIT_MULTITHREADED = 0x0, COINIT_APARTMENTTHREADED = 0x2 };

// The exports of an in-process server module.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID clsid, REFIID riid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD coinit);
void CoUninitialize();

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID riid, void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** object);
// Unloads every module whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);
// *progid is allocated with CoTaskMemAlloc.
HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* progid);

void* CoTaskMemAlloc(std::size_t bytes);
void CoTaskMemFree(void* p);

namespace ole {

// The loader's message for the last CO_E_DLLNOTFOUND in this thread.
std::string LastLoadError();
// Modules currently loaded through CoGetClassObject, for tests.
std::size_t LoadedModuleCount();

// A class the runtime serves itself, without a registry entry.
using BuiltinClassObjectFn = HRESULT (*)(REFIID riid, void** object);
void RegisterBuiltinClass(REFCLSID clsid, BuiltinClassObjectFn get);

// The system's message for a well-known HRESULT, as FormatMessage gives it
// ("Class not registered"); empty for others.
std::string_view ErrorMessage(HRESULT hr);
// The system's message for an HRESULT ("Error" when unknown), followed by
// the code in hex ("Class not registered (0x80040154)"); for a module that
// would not load, the loader's message of this thread is added.
std::string ErrorText(HRESULT hr);

// ProgID and CLSID helpers over UTF-8.
HRESULT ClsidFromProgIdOrString(std::string_view text, CLSID* clsid);

}  // namespace ole
