// ICodecAPI of the stand-in encoder: the properties it honours, kept in its attribute store (VT_UI4 values;
// low latency as VT_BOOL, as the property is documented), and the keyframe request.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
// After the Windows headers, so that the codec property identifiers are declared with their GUIDs.
#include <codecapi.h>

#include "encodertransform.h"

namespace VellStandin {
namespace {

bool IsBoolean(const GUID& api) { return api == CODECAPI_AVLowLatencyMode; }

bool Known(const GUID& api) {
  return api == CODECAPI_AVEncMPVGOPSize || api == CODECAPI_AVEncCommonRateControlMode ||
         api == CODECAPI_AVLowLatencyMode || api == CODECAPI_AVEncCommonMaxBitRate ||
         api == CODECAPI_AVEncCommonMeanBitRate || api == CODECAPI_AVEncCommonQualityVsSpeed;
}

}  // namespace

HRESULT EncoderTransform::IsSupported(const GUID* api) {
  if (!api) return E_POINTER;
  return Known(*api) || *api == CODECAPI_AVEncVideoForceKeyFrame ? S_OK : E_NOTIMPL;
}

HRESULT EncoderTransform::GetValue(const GUID* api, VARIANT* value) {
  if (!api || !value) return E_POINTER;
  if (!Known(*api)) return E_NOTIMPL;
  std::lock_guard<std::mutex> lock(mutex_);
  UINT32 stored = 0;
  if (FAILED(attributes_->GetUINT32(*api, &stored))) return MF_E_ATTRIBUTENOTFOUND;
  VariantInit(value);
  if (IsBoolean(*api)) {
    value->vt = VT_BOOL;
    value->boolVal = stored ? VARIANT_TRUE : VARIANT_FALSE;
  } else {
    value->vt = VT_UI4;
    value->ulVal = stored;
  }
  return S_OK;
}

HRESULT EncoderTransform::SetValue(const GUID* api, VARIANT* value) {
  if (!api || !value) return E_POINTER;
  if (*api == CODECAPI_AVEncVideoForceKeyFrame) {
    // Write-only, any time while streaming: the next frame given to the encoder becomes a keyframe.
    if (value->vt != VT_UI4) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    if (value->ulVal != 0 && !strictness_.ignore_keyframe_requests) encoder_.ForceKeyframe();
    return S_OK;
  }
  if (!Known(*api)) return E_NOTIMPL;
  if (value->vt != (IsBoolean(*api) ? VT_BOOL : VT_UI4)) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mutex_);
  // Read when the encoder starts with the first input, like the attribute store's values.
  return attributes_->SetUINT32(*api, IsBoolean(*api) ? (value->boolVal != VARIANT_FALSE) : value->ulVal);
}

}  // namespace VellStandin
