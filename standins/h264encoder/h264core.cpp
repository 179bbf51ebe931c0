#include "h264core.h"

#include <d3d11.h>
#include <mfapi.h>
#include <mferror.h>

#include <cstring>

#include <libyuv/convert.h>

#include "utils/comptr.h"

namespace VellStandin {
namespace {

using VellRecorder::ComPtr;

HRESULT ReadSurface(IMFDXGIBuffer* dxgi, uint32_t width, uint32_t height, std::vector<uint8_t>* i420) {
  ComPtr<ID3D11Texture2D> texture;
  HRESULT hr = dxgi->GetResource(IID_ID3D11Texture2D, reinterpret_cast<void**>(texture.ReleaseAndGetAddressOf()));
  UINT subresource = 0;
  if (SUCCEEDED(hr)) hr = dxgi->GetSubresourceIndex(&subresource);
  if (FAILED(hr)) return hr;
  D3D11_TEXTURE2D_DESC desc;
  texture->GetDesc(&desc);
  if (desc.Format != DXGI_FORMAT_NV12 || desc.Width < width || desc.Height < height) return MF_E_INVALIDMEDIATYPE;
  ComPtr<ID3D11Device> device;
  texture->GetDevice(device.ReleaseAndGetAddressOf());
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(context.ReleaseAndGetAddressOf());
  D3D11_TEXTURE2D_DESC staging_desc = desc;
  staging_desc.MipLevels = 1;
  staging_desc.ArraySize = 1;
  staging_desc.Usage = D3D11_USAGE_STAGING;
  staging_desc.BindFlags = 0;
  staging_desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  staging_desc.MiscFlags = 0;
  ComPtr<ID3D11Texture2D> staging;
  hr = device->CreateTexture2D(&staging_desc, nullptr, staging.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, texture.Get(), subresource, nullptr);
  D3D11_MAPPED_SUBRESOURCE mapped;
  hr = context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(hr)) return hr;
  const auto* y = static_cast<const uint8_t*>(mapped.pData);
  const uint8_t* uv = y + static_cast<size_t>(mapped.RowPitch) * desc.Height;
  uint8_t* out = i420->data();
  libyuv::NV12ToI420(y, mapped.RowPitch, uv, mapped.RowPitch, out, width, out + width * height, width / 2,
                     out + width * height * 5 / 4, width / 2, width, height);
  context->Unmap(staging.Get(), 0);
  return S_OK;
}

}  // namespace

HRESULT ReadNV12Sample(IMFSample* sample, uint32_t width, uint32_t height, std::vector<uint8_t>* i420) {
  i420->resize(static_cast<size_t>(width) * height * 3 / 2);
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = sample->GetBufferByIndex(0, buffer.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  ComPtr<IMFDXGIBuffer> dxgi;
  if (SUCCEEDED(buffer->QueryInterface(IID_IMFDXGIBuffer, reinterpret_cast<void**>(dxgi.ReleaseAndGetAddressOf())))) {
    return ReadSurface(dxgi.Get(), width, height, i420);
  }
  BYTE* data = nullptr;
  DWORD length = 0;
  hr = buffer->Lock(&data, nullptr, &length);
  if (FAILED(hr)) return hr;
  if (length < i420->size()) {
    buffer->Unlock();
    return MF_E_BUFFERTOOSMALL;
  }
  uint8_t* out = i420->data();
  libyuv::NV12ToI420(data, width, data + width * height, width, out, width, out + width * height, width / 2,
                     out + width * height * 5 / 4, width / 2, width, height);
  buffer->Unlock();
  return S_OK;
}

void AccessUnitEncoder::Deleter::operator()(ISVCEncoder* encoder) const {
  encoder->Uninitialize();
  WelsDestroySVCEncoder(encoder);
}

HRESULT AccessUnitEncoder::Start(const EncoderConfig& config) {
  config_ = config;
  frames_ = 0;
  ISVCEncoder* encoder = nullptr;
  if (WelsCreateSVCEncoder(&encoder) != 0 || !encoder) return E_OUTOFMEMORY;
  encoder_.reset(encoder);
  int trace_level = WELS_LOG_QUIET;
  encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &trace_level);
  SEncParamExt param;
  std::memset(&param, 0, sizeof(param));
  encoder_->GetDefaultParams(&param);
  param.iUsageType = CAMERA_VIDEO_REAL_TIME;
  param.iMinQp = 0;
  param.iMaxQp = 51;
  param.iPicWidth = static_cast<int>(config.width);
  param.iPicHeight = static_cast<int>(config.height);
  param.iTargetBitrate = static_cast<int>(config.mean_bitrate);
  param.iMaxBitrate = config.max_bitrate ? static_cast<int>(config.max_bitrate) : UNSPECIFIED_BIT_RATE;
  param.iRCMode = RC_BITRATE_MODE;
  param.fMaxFrameRate = static_cast<float>(config.frame_rate);
  param.uiIntraPeriod = config.gop_size;
  param.bEnableFrameSkip = false;
  param.iMultipleThreadIdc = 1;
  // Hardware encoders keep parameter-set id 0 throughout.
  param.eSpsPpsIdStrategy = CONSTANT_ID;
  // Hardware encoders keep pace with the capture; the fastest setting comes closest.
  param.iComplexityMode = LOW_COMPLEXITY;
  SSpatialLayerConfig& layer = param.sSpatialLayers[0];
  layer.iVideoWidth = param.iPicWidth;
  layer.iVideoHeight = param.iPicHeight;
  layer.fFrameRate = param.fMaxFrameRate;
  layer.iSpatialBitrate = param.iTargetBitrate;
  layer.iMaxSpatialBitrate = param.iMaxBitrate;
  layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
  if (encoder_->InitializeExt(&param) != 0) {
    encoder_.reset();
    return E_INVALIDARG;
  }
  int format = videoFormatI420;
  encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
  return S_OK;
}

std::vector<uint8_t> ParameterSets(std::vector<uint8_t>* bytes, bool remove) {
  // Start codes of 3 or 4 bytes; each NAL unit runs to the next start code.
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= bytes->size(); ++i) {
    if ((*bytes)[i] == 0 && (*bytes)[i + 1] == 0 && (*bytes)[i + 2] == 1) {
      starts.push_back(i > 0 && (*bytes)[i - 1] == 0 ? i - 1 : i);
      i += 2;
    }
  }
  std::vector<uint8_t> sets;
  std::vector<uint8_t> rest;
  for (size_t n = 0; n < starts.size(); ++n) {
    const size_t begin = starts[n];
    const size_t end = n + 1 < starts.size() ? starts[n + 1] : bytes->size();
    const size_t header = begin + ((*bytes)[begin + 2] == 1 ? 3 : 4);
    const int type = header < end ? (*bytes)[header] & 0x1f : 0;
    std::vector<uint8_t>& into = type == 7 || type == 8 ? sets : rest;
    into.insert(into.end(), bytes->begin() + static_cast<std::ptrdiff_t>(begin),
                bytes->begin() + static_cast<std::ptrdiff_t>(end));
  }
  if (remove) *bytes = std::move(rest);
  return sets;
}

HRESULT AccessUnitEncoder::Encode(const std::vector<uint8_t>& i420, AccessUnit* out) {
  const int width = static_cast<int>(config_.width);
  const int height = static_cast<int>(config_.height);
  SSourcePicture picture;
  std::memset(&picture, 0, sizeof(picture));
  picture.iColorFormat = videoFormatI420;
  picture.iPicWidth = width;
  picture.iPicHeight = height;
  picture.iStride[0] = width;
  picture.iStride[1] = picture.iStride[2] = width / 2;
  auto* data = const_cast<uint8_t*>(i420.data());
  picture.pData[0] = data;
  picture.pData[1] = data + width * height;
  picture.pData[2] = data + width * height * 5 / 4;
  picture.uiTimeStamp = out->time / 10000;
  if ((config_.gop_size != 0 && frames_ % config_.gop_size == 0 && frames_ != 0) || force_keyframe_) {
    encoder_->ForceIntraFrame(true);
  }
  force_keyframe_ = false;
  ++frames_;
  SFrameBSInfo info;
  std::memset(&info, 0, sizeof(info));
  if (encoder_->EncodeFrame(&picture, &info) != 0) return E_FAIL;
  out->bytes.clear();
  for (int i = 0; i < info.iLayerNum; ++i) {
    const SLayerBSInfo& layer = info.sLayerInfo[i];
    size_t size = 0;
    for (int n = 0; n < layer.iNalCount; ++n) size += layer.pNalLengthInByte[n];
    out->bytes.insert(out->bytes.end(), layer.pBsBuf, layer.pBsBuf + size);
  }
  out->keyframe = info.eFrameType == videoFrameTypeIDR;
  return out->bytes.empty() ? E_FAIL : S_OK;
}

}  // namespace VellStandin
