// Identifiers of the test module ADDER.OCX.
#pragma once

#include "ole/guid.h"

inline constexpr GUID LIBID_AdderLib = MakeGuid("{6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D0}");
inline constexpr IID DIID_DAdder = MakeGuid("{6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D1}");
inline constexpr CLSID CLSID_Adder = MakeGuid("{6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D3}");
inline constexpr CLSID CLSID_Refuser = MakeGuid("{6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2D4}");
inline constexpr CATID CATID_AdderSafe = MakeGuid("{6F1B2C3D-4E5F-4A6B-9C7D-8E9FA0B1C2DC}");
inline constexpr const char* kAdderProgId = "AdderLib.Adder.1";
