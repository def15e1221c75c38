// Variants: VariantInit, VariantClear and VariantCopy.
//
// A variant owns the string (VT_BSTR) or array (VT_ARRAY | type) it holds; clearing frees it and
// copying duplicates it.  A by-reference variant (VT_BYREF | type) owns nothing: clearing only
// forgets the reference and copying copies the reference itself.  Types this platform does not
// carry (object interfaces, records) are refused with DISP_E_BADVARTYPE and left untouched.
#include <cstring>

#include "voxl310k_platform.h"

#define VT_CY 6
#define VT_DATE 7
#define VT_I1 16
#define VT_I8 20
#define VT_UI8 21
#define VT_INT 22
#define VT_UINT 23

namespace {

// Plain values: copied bit for bit, nothing to free.
bool IsPlain(VARTYPE base) {
  switch (base) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsValidType(VARTYPE vt) {
  const VARTYPE base = vt & 0x0FFF;
  const VARTYPE modifiers = vt & 0xF000;
  if (modifiers & ~(VT_ARRAY | VT_BYREF)) return false;
  if (modifiers & VT_BYREF) {
    return IsPlain(base) || base == VT_BSTR || base == VT_VARIANT;
  }
  if (modifiers & VT_ARRAY) return base == VT_UI1 || base == VT_VARIANT;
  return IsPlain(base) || base == VT_BSTR;
}

}  // namespace

extern "C" {

void WINAPI VariantInit(VARIANT* v) {
  if (v == nullptr) return;
  v->vt = VT_EMPTY;
  v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
}

HRESULT WINAPI VariantClear(VARIANT* v) {
  if (v == nullptr) return E_INVALIDARG;
  if (!IsValidType(v->vt)) return DISP_E_BADVARTYPE;
  if ((v->vt & VT_BYREF) == 0) {
    if (v->vt & VT_ARRAY) {
      if (HRESULT hr = SafeArrayDestroy(v->parray); hr != S_OK) return hr;
    } else if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANT* dst, const VARIANT* src) {
  if (dst == nullptr || src == nullptr) return E_INVALIDARG;
  if (dst == src) return S_OK;
  if (!IsValidType(src->vt)) return DISP_E_BADVARTYPE;
  if (HRESULT hr = VariantClear(dst); hr != S_OK) return hr;
  VARIANT copy;
  std::memcpy(&copy, src, sizeof copy);
  if ((src->vt & VT_BYREF) == 0) {
    if (src->vt & VT_ARRAY) {
      if (HRESULT hr = SafeArrayCopy(src->parray, &copy.parray); hr != S_OK) return hr;
    } else if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
      copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
      if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    }
  }
  std::memcpy(dst, &copy, sizeof copy);
  return S_OK;
}

}  // extern "C"
