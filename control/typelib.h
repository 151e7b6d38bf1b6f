// The type library CvSrvAdmLib, carried as the module's resource TYPELIB 1.
#pragma once

#include "ole/typelib_model.h"

namespace cvsrva {
ole::tlb::Library MakeTypeLibrary();
}
