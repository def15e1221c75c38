// Safe arrays: one-dimensional arrays of bytes (VT_UI1) or variants (VT_VARIANT) with any lower
// bound, negative included.
//
// An array made here is one block: four bytes holding the element type, then the SAFEARRAY
// record (so the type sits just before the record, where the platform keeps it); the elements
// are a second block.  Arrays that a host describes itself (FADF_AUTO, FADF_STATIC or
// FADF_EMBEDDED) are read and written but never freed here.  Every index is checked against the
// bounds in 64-bit arithmetic; bounds whose last index would not fit a LONG are refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "voxl310k_platform.h"

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_VARIANT 0x0800

namespace {

// Arrays larger than this are refused rather than attempted.
constexpr uint64_t kMaxDataBytes = uint64_t{1} << 31;

struct ArrayBlock {
  uint32_t reserved;
  uint32_t vt;  // immediately before the record
  SAFEARRAY array;
};
static_assert(offsetof(ArrayBlock, array) == offsetof(ArrayBlock, vt) + sizeof(uint32_t),
              "the element type sits just before the record");

ArrayBlock* BlockOf(SAFEARRAY* array) {
  return reinterpret_cast<ArrayBlock*>(reinterpret_cast<unsigned char*>(array) -
                                       offsetof(ArrayBlock, array));
}

bool HostOwned(const SAFEARRAY* array) {
  return (array->fFeatures & (FADF_AUTO | FADF_STATIC | FADF_EMBEDDED)) != 0;
}

bool HoldsVariants(const SAFEARRAY* array) {
  return (array->fFeatures & FADF_VARIANT) != 0;
}
bool HoldsStrings(const SAFEARRAY* array) {
  return (array->fFeatures & FADF_BSTR) != 0;
}

// The element type of an array: recorded, or told by its features.
VARTYPE TypeOf(SAFEARRAY* array) {
  if ((array->fFeatures & FADF_HAVEVARTYPE) != 0) return static_cast<VARTYPE>(BlockOf(array)->vt);
  if (HoldsVariants(array)) return VT_VARIANT;
  if (HoldsStrings(array)) return VT_BSTR;
  return array->cbElements == 1 ? VT_UI1 : VT_EMPTY;
}

// Address of the element at `index` of a one-dimensional array, or null when out of bounds.
void* ElementAt(SAFEARRAY* array, LONG index) {
  const SAFEARRAYBOUND& bound = array->rgsabound[0];
  const int64_t offset = static_cast<int64_t>(index) - bound.lLbound;
  if (offset < 0 || offset >= static_cast<int64_t>(bound.cElements)) return nullptr;
  return static_cast<unsigned char*>(array->pvData) +
         static_cast<size_t>(offset) * array->cbElements;
}

HRESULT CheckAccess(SAFEARRAY* array, LONG* indices, void* value) {
  if (array == nullptr || indices == nullptr || value == nullptr) return E_INVALIDARG;
  if (array->cDims != 1 || array->cbElements == 0) return E_INVALIDARG;
  if (HoldsVariants(array) && array->cbElements != sizeof(VARIANT)) return E_INVALIDARG;
  if (HoldsStrings(array) && array->cbElements != sizeof(BSTR)) return E_INVALIDARG;
  if (array->pvData == nullptr && array->rgsabound[0].cElements != 0) return E_INVALIDARG;
  return S_OK;
}

}  // namespace

extern "C" {

SAFEARRAY* WINAPI SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  if (vt != VT_UI1 && vt != VT_VARIANT) return nullptr;
  const uint32_t elementSize = vt == VT_UI1 ? 1u : static_cast<uint32_t>(sizeof(VARIANT));
  const int64_t last = static_cast<int64_t>(lowerBound) + static_cast<int64_t>(elements) - 1;
  if (last > INT32_MAX || last < static_cast<int64_t>(INT32_MIN) - 1) return nullptr;
  const uint64_t bytes = static_cast<uint64_t>(elements) * elementSize;
  if (bytes > kMaxDataBytes) return nullptr;

  auto* block = new (std::nothrow) ArrayBlock{};
  if (block == nullptr) return nullptr;
  // calloc: bytes start at zero and variants start as VT_EMPTY.
  void* data = std::calloc(bytes == 0 ? 1 : static_cast<size_t>(bytes), 1);
  if (data == nullptr) {
    delete block;
    return nullptr;
  }
  block->vt = vt;
  SAFEARRAY& array = block->array;
  array.cDims = 1;
  array.fFeatures = FADF_HAVEVARTYPE | (vt == VT_VARIANT ? FADF_VARIANT : 0);
  array.cbElements = elementSize;
  array.cLocks = 0;
  array.pvData = data;
  array.rgsabound[0].cElements = elements;
  array.rgsabound[0].lLbound = lowerBound;
  return &array;
}

HRESULT WINAPI SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) return S_OK;
  if (array->cLocks != 0) return DISP_E_ARRAYISLOCKED;
  if (array->pvData != nullptr && array->cDims == 1) {
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) {
      void* element = static_cast<unsigned char*>(array->pvData) + size_t{i} * array->cbElements;
      if (HoldsVariants(array)) VariantClear(static_cast<VARIANT*>(element));
      if (HoldsStrings(array)) {
        SysFreeString(*static_cast<BSTR*>(element));
        *static_cast<BSTR*>(element) = nullptr;
      }
    }
  }
  if (HostOwned(array)) return S_OK;
  std::free(array->pvData);
  delete BlockOf(array);
  return S_OK;
}

HRESULT WINAPI SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* value) {
  if (HRESULT check = CheckAccess(array, indices, value); check != S_OK) return check;
  void* element = ElementAt(array, indices[0]);
  if (element == nullptr) return DISP_E_BADINDEX;
  if (HoldsVariants(array)) {
    return VariantCopy(static_cast<VARIANT*>(element), static_cast<const VARIANT*>(value));
  }
  if (HoldsStrings(array)) {
    BSTR source = static_cast<BSTR>(value);
    BSTR copy = source == nullptr ? nullptr : SysAllocStringLen(source, SysStringLen(source));
    if (source != nullptr && copy == nullptr) return E_OUTOFMEMORY;
    SysFreeString(*static_cast<BSTR*>(element));
    *static_cast<BSTR*>(element) = copy;
    return S_OK;
  }
  std::memcpy(element, value, array->cbElements);
  return S_OK;
}

HRESULT WINAPI SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* value) {
  if (HRESULT check = CheckAccess(array, indices, value); check != S_OK) return check;
  void* element = ElementAt(array, indices[0]);
  if (element == nullptr) return DISP_E_BADINDEX;
  if (HoldsVariants(array)) {
    // The caller's variant holds nothing yet: it is initialised, not cleared.
    auto* out = static_cast<VARIANT*>(value);
    VariantInit(out);
    return VariantCopy(out, static_cast<const VARIANT*>(element));
  }
  if (HoldsStrings(array)) {
    BSTR source = *static_cast<BSTR*>(element);
    BSTR copy = source == nullptr ? nullptr : SysAllocStringLen(source, SysStringLen(source));
    if (source != nullptr && copy == nullptr) return E_OUTOFMEMORY;
    *static_cast<BSTR*>(value) = copy;
    return S_OK;
  }
  std::memcpy(value, element, array->cbElements);
  return S_OK;
}

UINT WINAPI SafeArrayGetDim(SAFEARRAY* array) {
  return array == nullptr ? 0 : array->cDims;
}

HRESULT WINAPI SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* lowerBound) {
  if (array == nullptr || lowerBound == nullptr) return E_INVALIDARG;
  if (dim < 1 || dim > array->cDims) return DISP_E_BADINDEX;
  // Bounds are stored last dimension first.
  *lowerBound = array->rgsabound[array->cDims - dim].lLbound;
  return S_OK;
}

HRESULT WINAPI SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* upperBound) {
  if (array == nullptr || upperBound == nullptr) return E_INVALIDARG;
  if (dim < 1 || dim > array->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& bound = array->rgsabound[array->cDims - dim];
  const int64_t last = static_cast<int64_t>(bound.lLbound) + bound.cElements - 1;
  if (last > INT32_MAX || last < INT32_MIN) return E_INVALIDARG;
  *upperBound = static_cast<LONG>(last);
  return S_OK;
}

HRESULT WINAPI SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy) {
  if (copy == nullptr) return E_INVALIDARG;
  *copy = nullptr;
  if (array == nullptr) return S_OK;
  if (array->cDims != 1) return E_INVALIDARG;
  const VARTYPE vt = TypeOf(array);
  if (vt != VT_UI1 && vt != VT_VARIANT) return E_INVALIDARG;
  const SAFEARRAYBOUND& bound = array->rgsabound[0];
  SAFEARRAY* result = SafeArrayCreateVector(vt, bound.lLbound, bound.cElements);
  if (result == nullptr) return E_OUTOFMEMORY;
  if (vt == VT_UI1) {
    if (bound.cElements != 0) std::memcpy(result->pvData, array->pvData, bound.cElements);
  } else {
    auto* from = static_cast<const VARIANT*>(array->pvData);
    auto* to = static_cast<VARIANT*>(result->pvData);
    for (ULONG i = 0; i < bound.cElements; ++i) {
      if (HRESULT hr = VariantCopy(&to[i], &from[i]); hr != S_OK) {
        SafeArrayDestroy(result);
        return hr;
      }
    }
  }
  *copy = result;
  return S_OK;
}

}  // extern "C"
