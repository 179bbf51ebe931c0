// The transform driver's output collection against a transform that answers ProcessOutput from a script:
// the results no real transform produces on demand (stream changes, incomplete and missing samples).
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <string>

#include <gtest/gtest.h>

#include "h264testsupport.h"
#include "media_transforms/media_foundation/mft.h"
#include "testing/watchdog.h"

namespace VellRecorder::MediaFoundation {
namespace {

using namespace Testing;
using namespace std::chrono_literals;

struct Step {
  HRESULT hr;
  DWORD status;
  std::string bytes;  // output of a successful step
};

struct Event {
  HRESULT hr;  // of GetEvent
  MediaEventType type;
};

// Lives on the test's stack, longer than the driver; reference counting is tracked but never deletes.
class ScriptedTransform : public IMFTransform, public IMFMediaEventGenerator {
 public:
  ScriptedTransform(bool provides, DWORD size) : provides_(provides), size_(size) {}
  virtual ~ScriptedTransform() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IMFTransform) *object = static_cast<IMFTransform*>(this);
    if (riid == IID_IMFMediaEventGenerator) *object = static_cast<IMFMediaEventGenerator*>(this);
    if (*object) AddRef();
    return *object ? S_OK : E_NOINTERFACE;
  }
  // Events from `events`; an exhausted script answers MF_E_SHUTDOWN rather than blocking the test.
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD, IMFMediaEvent** event) override {
    ++event_calls;
    if (events.empty()) return MF_E_SHUTDOWN;
    const Event next = events.front();
    events.pop_front();
    return FAILED(next.hr) ? next.hr : MFCreateMediaEvent(next.type, GUID_NULL, S_OK, nullptr, event);
  }
  // A silent generator takes the request and never answers it (until the test's end); the others have no
  // BeginGetEvent and are polled.
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown*) override {
    if (!silent) return E_NOTIMPL;
    ++begin_calls;
    held_request = ComPtr<IMFAsyncCallback>(callback);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult*, IMFMediaEvent**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType, REFGUID, HRESULT, const PROPVARIANT*) override {
    return E_NOTIMPL;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
  HRESULT STDMETHODCALLTYPE GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamCount(DWORD*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO* info) override {
    *info = {};
    info->dwFlags = provides_ ? MFT_OUTPUT_STREAM_PROVIDES_SAMPLES : 0;
    info->cbSize = size_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAttributes(IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputAvailableType(DWORD, DWORD index, IMFMediaType** type) override {
    if (index > 0) return MF_E_NO_MORE_TYPES;
    HRESULT hr = MFCreateMediaType(type);
    if (SUCCEEDED(hr)) hr = (*type)->SetUINT32(MF_MT_AVG_BITRATE, 1234);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetInputType(DWORD, IMFMediaType*, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetOutputType(DWORD, IMFMediaType* type, DWORD) override {
    if (type) applied_bitrate = MFGetAttributeUINT32(type, MF_MT_AVG_BITRATE, 0);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetInputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputCurrentType(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ProcessMessage(MFT_MESSAGE_TYPE, ULONG_PTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ProcessInput(DWORD, IMFSample*, DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ProcessOutput(DWORD, DWORD, MFT_OUTPUT_DATA_BUFFER* data, DWORD* status) override {
    *status = 0;
    ComPtr<IMFMediaBuffer> buffer;
    if (!provides_) {
      data->pSample->GetBufferByIndex(0, buffer.ReleaseAndGetAddressOf());
      buffer->GetMaxLength(&offered_length);
    }
    if (script.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    const Step step = script.front();
    script.pop_front();
    data->dwStatus = step.status;
    if (step.hr != S_OK) return step.hr;
    const std::vector<uint8_t> bytes(step.bytes.begin(), step.bytes.end());
    if (provides_) {
      data->pSample = MakeSample(bytes, 0, 0).Detach();
      return S_OK;
    }
    BYTE* target = nullptr;
    buffer->Lock(&target, nullptr, nullptr);
    std::memcpy(target, bytes.data(), bytes.size());
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()));
    return S_OK;
  }

  std::deque<Step> script;
  std::deque<Event> events;
  bool silent = false;
  int begin_calls = 0;
  ComPtr<IMFAsyncCallback> held_request;
  int event_calls = 0;
  UINT32 applied_bitrate = 0;
  DWORD offered_length = 0;

 private:
  const bool provides_;
  const DWORD size_;
  ULONG refs_ = 1;
};

class ScriptedMFT : public MFT {
 public:
  ScriptedMFT(IMFTransform* transform, bool async, uint32_t min_size) : min_size_(min_size) {
    transform_ = ComPtr<IMFTransform>(transform);
    is_async_ = async;
    if (async) transform_.As(&event_generator_);
  }
  uint32_t GetMinOutputBufferSize() const override { return min_size_; }

 private:
  const uint32_t min_size_;
};

TEST(MFTDriver, OutputCollectionKeepsWhatItGotAndReportsWhatEndedIt) {
  constexpr DWORD kNoSample = MFT_OUTPUT_DATA_BUFFER_NO_SAMPLE, kIncomplete = MFT_OUTPUT_DATA_BUFFER_INCOMPLETE;
  struct Case {
    const char* name;
    bool provides, async;
    std::deque<Step> script;
    HRESULT result;
    const char* bytes;  // null: no buffer in the result
    size_t left;        // steps the call must not consume
  };
  const Case cases[] = {
      {"pieces until more input is needed", false, false, {{S_OK, 0, "ab"}, {S_OK, 0, "cd"}}, S_OK, "abcd", 0},
      // The output renegotiated, the frame that met the change comes out in the same call; no empty sample.
      {"stream change with nothing collected", false, false, {{MF_E_TRANSFORM_STREAM_CHANGE, 0, ""}},
       MF_E_TRANSFORM_NEED_MORE_INPUT, nullptr, 0},
      {"stream change, then the frame", false, false, {{MF_E_TRANSFORM_STREAM_CHANGE, 0, ""}, {S_OK, 0, "ab"}}, S_OK,
       "ab", 0},
      {"a stream that never settles", false, false,
       {{MF_E_TRANSFORM_STREAM_CHANGE, 0, ""}, {MF_E_TRANSFORM_STREAM_CHANGE, 0, ""},
        {MF_E_TRANSFORM_STREAM_CHANGE, 0, ""}, {S_OK, 0, "ab"}},
       MF_E_TRANSFORM_STREAM_CHANGE, nullptr, 1},
      {"stream change after a piece", false, false,
       {{S_OK, 0, "ab"}, {MF_E_TRANSFORM_STREAM_CHANGE, 0, ""}}, S_OK, "ab", 0},
      {"incomplete with nothing collected", false, false, {{S_OK, kIncomplete, "xx"}}, E_FAIL, nullptr, 0},
      {"incomplete after a piece", false, false, {{S_OK, 0, "ab"}, {S_OK, kIncomplete, "xx"}}, S_OK, "ab", 0},
      {"no sample after a piece", false, false, {{S_OK, 0, "ab"}, {E_UNEXPECTED, kNoSample, ""}}, S_OK, "ab", 0},
      {"failure with nothing collected", false, false, {{E_UNEXPECTED, 0, ""}}, E_UNEXPECTED, nullptr, 0},
      {"provided samples, synchronous", true, false, {{S_OK, 0, "ab"}, {S_OK, 0, "cd"}}, S_OK, "abcd", 0},
      {"provided samples, asynchronous: one piece", true, true, {{S_OK, 0, "ab"}, {S_OK, 0, "cd"}}, S_OK, "ab", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransform transform(c.provides, 16);
    transform.script = c.script;
    ScriptedMFT mft(&transform, c.async, 4096);
    ComPtr<IMFSample> input = MakeSample({1}, 7000, 300);
    ASSERT_EQ(mft.ProcessInput(input.Get()), S_OK);
    ComPtr<IMFSample> out;
    ASSERT_EQ(mft.ProcessOutput(&out), c.result);
    EXPECT_EQ(transform.script.size(), c.left);
    DWORD buffers = 0;
    if (out) out->GetBufferCount(&buffers);
    EXPECT_EQ(buffers, c.bytes ? 1u : 0u);
    LONGLONG time = 0;
    EXPECT_EQ(out && SUCCEEDED(out->GetSampleTime(&time)) && time == 7000, c.bytes != nullptr);
    if (c.bytes) {
      const std::vector<uint8_t> bytes = ReadSample(out.Get());
      EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.bytes);
      EXPECT_EQ(RefCount(input.Get()), 1u) << "the input must be let go with its output";
    }
    const bool changed = c.script.front().hr == MF_E_TRANSFORM_STREAM_CHANGE ||
                         c.script.back().hr == MF_E_TRANSFORM_STREAM_CHANGE;
    EXPECT_EQ(transform.applied_bitrate, changed ? 1234u : 0u) << "the offered type must be applied";
    if (!c.provides) {
      EXPECT_GE(transform.offered_length, 4096u) << "the subclass's minimum buffer size";
    }
  }
}

TEST(MFTDriver, AsyncDrainEndsAtDrainCompleteOrAtAFailingWait) {
  struct Case {
    const char* name;
    std::deque<Event> events;
    HRESULT result;
    int delivered;
  };
  const Case cases[] = {
      {"need-input passed over, output delivered, drain complete",
       {{S_OK, METransformNeedInput}, {S_OK, METransformHaveOutput}, {S_OK, METransformDrainComplete}}, S_OK, 1},
      {"the wait fails after an output", {{S_OK, METransformHaveOutput}, {E_UNEXPECTED, MEUnknown}}, E_UNEXPECTED, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedTransform transform(true, 0);
    transform.script = {{S_OK, 0, "ab"}};
    transform.events = c.events;
    ScriptedMFT mft(&transform, true, 0);
    int delivered = 0;
    WithinOrDie(5s, "drain", [&] { EXPECT_EQ(mft.DrainAndCollect([&](IMFSample*) { ++delivered; }), c.result); });
    EXPECT_EQ(delivered, c.delivered);
    EXPECT_EQ(transform.event_calls, static_cast<int>(c.events.size()));
  }
}

// An asynchronous transform that stops sending events (a removed GPU): waits and the drain end at their bound
// instead of holding the caller, and a wait that timed out does not ask the transform a second time.
TEST(MFTDriver, WaitsForASilentTransformEndAtTheirBound) {
  ScriptedTransform transform(true, 0);
  transform.silent = true;
  ScriptedMFT mft(&transform, true, 0);
  MediaEventType type = MEUnknown;
  WithinOrDie(5s, "waits", [&] {
    EXPECT_EQ(mft.WaitForEvent(&type, 30), kEventWaitTimedOut);
    EXPECT_EQ(mft.WaitForEvent(&type, 30), kEventWaitTimedOut);
    EXPECT_EQ(mft.DrainAndCollect([](IMFSample*) { ADD_FAILURE() << "nothing to deliver"; }, 100),
              kEventWaitTimedOut);
  });
  EXPECT_EQ(transform.begin_calls, 1) << "one request stands until the transform answers it";
  EXPECT_EQ(transform.event_calls, 0);
  transform.held_request.Reset();
}

}  // namespace
}  // namespace VellRecorder::MediaFoundation
