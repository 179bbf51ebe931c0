// The texture desktop images travel in: 32-bit BGRA, one level, in video memory, drawn into and sampled.
#pragma once

#include <d3d11.h>

namespace VellRecorder {

inline D3D11_TEXTURE2D_DESC BgraTextureDesc(UINT width, UINT height) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc = {1, 0};
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
  return desc;
}

}  // namespace VellRecorder
