// HLSSink's entry for Media Foundation samples (the screen sessions).
#include <mfapi.h>
#include <mfidl.h>

#include "muxers/hlssink.h"
#include "tracehr.h"
#include "utils/comptr.h"

namespace VellRecorder {

HRESULT HLSSink::Mux(IMFSample* sample, StreamKind kind) {
  ComPtr<IMFMediaBuffer> buffer;
  RETURN_IF_FAILED(sample->ConvertToContiguousBuffer(buffer.ReleaseAndGetAddressOf()));
  BYTE* data = nullptr;
  RETURN_IF_FAILED(buffer->Lock(&data, nullptr, nullptr));
  DWORD length = 0;
  LONGLONG time = 0;
  HRESULT hr = buffer->GetCurrentLength(&length);
  if (SUCCEEDED(hr)) hr = sample->GetSampleTime(&time);
  if (FAILED(hr)) {
    // Never leave the buffer locked: its owner may lock it again or hand it back to a pool.
    buffer->Unlock();
    return VELL_TRACE_FAILURE(hr);
  }
  MuxRaw(data, length, time / 10, kind);
  RETURN_IF_FAILED(buffer->Unlock());
  return S_OK;
}

}  // namespace VellRecorder
