// A stand-in for a hardware H.264 encoder transform, built on OpenH264, for test prefixes where Wine offers
// none. It behaves as the real ones do towards their callers: the asynchronous variant must be unlocked
// (MF_TRANSFORM_ASYNC_UNLOCK) before any other call, asks for input with METransformNeedInput, announces
// each access unit with METransformHaveOutput and provides its output samples; the synchronous variant is
// driven by ProcessInput/ProcessOutput with caller-allocated output buffers. Both take NV12 in system
// memory or in a DXGI surface, read the codec properties from their attribute store (GOP size, mean and
// peak bitrate, low latency; set there or through ICodecAPI, which writes the same store), and put out
// Annex-B access units with SPS and PPS ahead of every IDR frame, and in the output type's
// MF_MT_MPEG_SEQUENCE_HEADER. Without low latency the encoder holds kLookahead access units back until more input
// arrives or the stream is drained, as encoders with a look-ahead do. Stricter behaviours, some on by default,
// are set from the environment (strictness.h).
#pragma once

#include <windows.h>
#include <mfidl.h>
#include <mftransform.h>
#include <strmif.h>

#include <deque>
#include <mutex>
#include <vector>

#include "comserver/onestreamtransform.h"
#include "h264core.h"
#include "strictness.h"
#include "utils/comptr.h"

// mingw's strmif.h declares ICodecAPI without the uuid that __uuidof needs (its icodecapi.h, which has it, is
// then skipped by the shared include guard).
__CRT_UUID_DECL(ICodecAPI, 0x901db4c7, 0x31ce, 0x41a2, 0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8, 0xda)

namespace VellStandin {

using VellRecorder::ComPtr;

enum class Mode { kAsync, kSync };

// {F072A1F6-C10B-416B-8A44-98FC4D8F45D0}: the asynchronous ("hardware") variant.
inline constexpr CLSID kAsyncEncoderClsid = {
    0xf072a1f6, 0xc10b, 0x416b, {0x8a, 0x44, 0x98, 0xfc, 0x4d, 0x8f, 0x45, 0xd0}};
// {F9E065C5-AFFD-4265-9E6C-9F443ED95F32}: the synchronous variant.
inline constexpr CLSID kSyncEncoderClsid = {
    0xf9e065c5, 0xaffd, 0x4265, {0x9e, 0x6c, 0x9f, 0x44, 0x3e, 0xd9, 0x5f, 0x32}};

// Threading: every method may be called from any thread; state is guarded by mutex_. GetEvent blocks on
// the event queue without holding mutex_, so another thread can feed or drain the transform meanwhile.
class EncoderTransform : public OneStreamTransform<IMFMediaEventGenerator, IMFShutdown, ICodecAPI> {
 public:
  static constexpr size_t kLookahead = 2;
  static HRESULT Create(Mode mode, REFIID riid, void** object);

  // IMFTransform (an asynchronous variant still locked, or one shut down, answers no stream question)
  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD* in_min, DWORD* in_max, DWORD* out_min, DWORD* out_max) override;
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD* inputs, DWORD* outputs) override;
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes** attributes) override;
  VELL_STANDIN_TRANSFORM_METHODS

  // IMFMediaEventGenerator (asynchronous variant only)
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override;
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                       const PROPVARIANT* value) override;

  // IMFShutdown
  HRESULT STDMETHODCALLTYPE Shutdown() override;
  HRESULT STDMETHODCALLTYPE GetShutdownStatus(MFSHUTDOWN_STATUS* status) override;

  // ICodecAPI: the codec properties the encoder reads when it starts (see codecapi.cpp).
  HRESULT STDMETHODCALLTYPE IsSupported(const GUID* api) override;
  HRESULT STDMETHODCALLTYPE IsModifiable(const GUID* api) override { return IsSupported(api); }
  HRESULT STDMETHODCALLTYPE GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetValue(const GUID* api, VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE SetValue(const GUID* api, VARIANT* value) override;
  HRESULT STDMETHODCALLTYPE RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaults() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettings(IStream*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

 private:
  explicit EncoderTransform(Mode mode);
  ~EncoderTransform() override;

  // Only the asynchronous variant is an event generator.
  void* Find(REFIID riid) override;

  // MF_E_SHUTDOWN after Shutdown, MF_E_TRANSFORM_ASYNC_LOCKED before an asynchronous transform is unlocked.
  HRESULT CheckUsable() const;
  HRESULT StartEncoder();
  HRESULT EncodeInput(IMFSample* sample);
  // Moves held access units to ready_ (all of them when draining), announcing each when asynchronous.
  void ReleaseHeld(bool all);
  void RequestInput();
  void QueueSimpleEvent(MediaEventType type);
  HRESULT DeliverProvided(MFT_OUTPUT_DATA_BUFFER* buffer);
  HRESULT DeliverIntoCaller(MFT_OUTPUT_DATA_BUFFER* buffer);
  void Flush();

  const Mode mode_;
  mutable std::mutex mutex_;
  ComPtr<IMFMediaEventQueue> events_;  // asynchronous variant; fixed after construction
  ComPtr<IMFMediaType> input_type_;
  ComPtr<IMFMediaType> output_type_;
  ComPtr<IMFDXGIDeviceManager> device_manager_;
  AccessUnitEncoder encoder_;
  EncoderConfig config_;
  size_t lookahead_ = kLookahead;
  std::deque<AccessUnit> held_;   // encoded, kept back by the look-ahead
  std::deque<AccessUnit> ready_;  // to be collected by ProcessOutput
  std::vector<uint8_t> frame_;    // the current input picture, I420
  bool input_requested_ = false;  // a METransformNeedInput is outstanding
  bool input_ended_ = true;  // before the first start or after the end of stream: no input until a start
  const bool fail_output_type_;
  const bool hide_attributes_;  // synchronous variant only: an asynchronous one must be unlocked
  const long silent_after_;     // inputs after which no event is queued any more; -1: never
  const Strictness strictness_;
  long inputs_ = 0;             // accepted so far
  bool shut_down_ = false;
};

}  // namespace VellStandin
