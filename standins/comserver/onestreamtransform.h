// What every stand-in transform answers alike, as the system's single-stream transforms do: one input and one
// output stream, fixed; no stream attributes, output bounds or events; the attribute store, where the class
// has one. `More`: the interfaces a transform offers beside IMFTransform.
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mferror.h>
#include <mftransform.h>

#include "comserver/comobject.h"
#include "utils/comptr.h"

// The IMFTransform methods each stand-in transform answers in its own way, declared in its class by this list.
#define VELL_STANDIN_TRANSFORM_METHODS                                                                        \
  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) override;              \
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) override;            \
  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD id, DWORD index, IMFMediaType** type) override;      \
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD id, DWORD index, IMFMediaType** type) override;     \
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD id, IMFMediaType* type, DWORD flags) override;                \
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD id, IMFMediaType* type, DWORD flags) override;               \
  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD id, IMFMediaType** type) override;                     \
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD id, IMFMediaType** type) override;                    \
  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD id, DWORD* flags) override;                                 \
  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD* flags) override;                                          \
  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR param) override;              \
  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD id, IMFSample* sample, DWORD flags) override;                 \
  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers,         \
                                          DWORD* status) override;

namespace VellStandin {

// ProcessInput of a transform that works on one sample at a time: `sample` waits in `pending` for the output
// made from it; the transform's lock is the caller's.
inline HRESULT HoldPending(bool types_set, IMFSample* sample, VellRecorder::ComPtr<IMFSample>* pending) {
  if (!types_set) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (*pending) return MF_E_NOTACCEPTING;
  *pending = VellRecorder::ComPtr<IMFSample>(sample);
  return S_OK;
}

// The start of ProcessOutput for one output stream: one buffer asked for, no status yet.
inline HRESULT BeginOutput(DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) {
  if (count != 1 || !buffers || !status) return E_INVALIDARG;
  *status = 0;
  buffers[0].dwStatus = 0;
  return S_OK;
}

// GetInputCurrentType or GetOutputCurrentType of a transform that hands out the type it holds (not a copy).
inline HRESULT HandOutHeldType(DWORD id, IMFMediaType* held, IMFMediaType** type) {
  if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!type) return E_POINTER;
  if (!held) return MF_E_TRANSFORM_TYPE_NOT_SET;
  *type = VellRecorder::ComPtr<IMFMediaType>(held).Detach();
  return S_OK;
}

template <typename... More>
class OneStreamTransform : public ComObject<IMFTransform, More...> {
 public:
  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD* input_min, DWORD* input_max, DWORD* output_min,
                                            DWORD* output_max) override {
    if (!input_min || !input_max || !output_min || !output_max) return E_POINTER;
    *input_min = *input_max = *output_min = *output_max = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputs, DWORD* outputs) override {
    if (!inputs || !outputs) return E_POINTER;
    *inputs = *outputs = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** attributes) override {
    if (!attributes) return E_POINTER;
    if (!attributes_) return E_NOTIMPL;
    *attributes = VellRecorder::ComPtr<IMFAttributes>(attributes_).Detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

 protected:
  // Made by the constructor of a class that has one, fixed afterwards; the store synchronises itself.
  VellRecorder::ComPtr<IMFAttributes> attributes_;
};

}  // namespace VellStandin
