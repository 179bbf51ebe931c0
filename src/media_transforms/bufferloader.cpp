#include "media_transforms/bufferloader.h"

#include "tracehr.h"

namespace VellRecorder {

BufferLoader::BufferLoader(IMFSample* sample) {
  if (sample == nullptr) return;
  DWORD count = 0;
  if (FAILED(sample->GetBufferCount(&count)) || count == 0) return;
  const HRESULT hr = sample->ConvertToContiguousBuffer(buffer_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    buffer_.Reset();
  }
}

BufferLoader::BufferLoader(IMFMediaBuffer* buffer) : buffer_(buffer) {}

BufferLoader::~BufferLoader() {
  if (locked_) buffer_->Unlock();
}

std::optional<BufferLoader::Bytes> BufferLoader::LoadMaxLength() { return Load(false); }

std::optional<BufferLoader::Bytes> BufferLoader::LoadCurrentLength() { return Load(true); }

std::optional<BufferLoader::Bytes> BufferLoader::Load(bool current_length) {
  if (!buffer_ || load_attempted_) return std::nullopt;
  load_attempted_ = true;
  Bytes bytes{nullptr, 0};
  HRESULT hr = buffer_->Lock(&bytes.data, nullptr, nullptr);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return std::nullopt;
  }
  locked_ = true;
  hr = current_length ? buffer_->GetCurrentLength(&bytes.length) : buffer_->GetMaxLength(&bytes.length);
  if (FAILED(hr)) {
    VELL_TRACE_FAILURE(hr);
    return std::nullopt;
  }
  return bytes;
}

}  // namespace VellRecorder
