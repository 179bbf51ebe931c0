// The pixels of a BGRA texture, read back through a staging copy: top-down rows, 4 bytes per pixel.
#pragma once

#include <windows.h>
#include <d3d11.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/comptr.h"

namespace VellRecorder::Testing {

inline std::vector<uint8_t> ReadTexture(ID3D11Device* device, ID3D11Texture2D* texture) {
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.MiscFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  ComPtr<ID3D11Texture2D> staging;
  ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(context.ReleaseAndGetAddressOf());
  std::vector<uint8_t> pixels;
  if (FAILED(device->CreateTexture2D(&desc, nullptr, staging.ReleaseAndGetAddressOf()))) return pixels;
  context->CopyResource(staging.Get(), texture);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return pixels;
  pixels.resize(static_cast<size_t>(desc.Width) * desc.Height * 4);
  for (UINT y = 0; y < desc.Height; ++y) {
    std::memcpy(&pixels[static_cast<size_t>(y) * desc.Width * 4],
                static_cast<uint8_t*>(mapped.pData) + static_cast<size_t>(y) * mapped.RowPitch, desc.Width * 4);
  }
  context->Unmap(staging.Get(), 0);
  return pixels;
}

}  // namespace VellRecorder::Testing
