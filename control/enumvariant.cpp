// CEnumVariant: the enumerator of the connections collection.
#include <algorithm>
#include <new>

#include "connections.h"

namespace cvsrva {

CEnumVariant::CEnumVariant(std::vector<CComVariant> elements) : owned_(std::move(elements)) {
  count_ = static_cast<ULONG>(owned_.size());
  elements_ = owned_.data();
}

// A clone: the source's array, count and position; the source stays alive
// while the clone does.
CEnumVariant::CEnumVariant(CEnumVariant* source, ULONG position)
    : position_(position), count_(source->count_), elements_(source->elements_), source_(source) {}

// A clone lets go of its source; the owner of the array clears its elements
// (releasing their entries) as the vector goes.
CEnumVariant::~CEnumVariant() = default;

HRESULT CEnumVariant::Next(ULONG celt, VARIANT* out, ULONG* fetched) {
  if (fetched) *fetched = 0;
  const ULONG n = std::min(celt, count_ - position_);
  if (n > 0 && !out) return E_POINTER;
  for (ULONG i = 0; i < n; ++i) VariantInit(&out[i]);
  for (ULONG i = 0; i < n; ++i) {
    if (FAILED(VariantCopy(&out[i], &elements_[position_ + i]))) {
      for (ULONG j = 0; j < i; ++j) VariantClear(&out[j]);
      return E_OUTOFMEMORY;
    }
  }
  position_ += n;
  if (fetched) *fetched = n;
  return n == celt ? S_OK : S_FALSE;
}

HRESULT CEnumVariant::Skip(ULONG celt) {
  const ULONG left = count_ - position_;
  position_ += std::min(celt, left);
  return celt <= left ? S_OK : S_FALSE;
}

HRESULT CEnumVariant::Reset() {
  position_ = 0;
  return S_OK;
}

HRESULT CEnumVariant::Clone(IEnumVARIANT** copy) {
  if (!copy) return E_POINTER;
  *copy = nullptr;
  auto* clone = new (std::nothrow) CEnumVariant(this, position_);
  if (!clone) return E_OUTOFMEMORY;
  *copy = clone;  // its single reference
  return S_OK;
}

}  // namespace cvsrva
