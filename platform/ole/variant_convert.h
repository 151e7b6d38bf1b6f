// VariantChangeType(Ex): conversions between the types a VARIANT holds, with
// the Windows coercion rules (variant_convert.cpp lists the types).
#pragma once

#include "ole/variant.h"

// Flags of VariantChangeType(Ex).
inline constexpr WORD VARIANT_NOVALUEPROP = 0x01;
inline constexpr WORD VARIANT_ALPHABOOL = 0x02;

// Converts src to type vt into dest (which may be src itself).
HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, WORD flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* dest, const VARIANTARG* src, LCID lcid, WORD flags,
                            VARTYPE vt);
