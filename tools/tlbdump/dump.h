#pragma once

#include <string>

#include "ole/typelib.h"

// The library in a stable, line-oriented text: the library's attributes, then
// each interface with its members (dispid, invoke kind, flags in hex,
// parameters, help string and context), then each coclass.
std::string DumpTypeLib(ITypeLib* lib);
