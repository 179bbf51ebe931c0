// The DirectShow enumeration against the stand-in cameras registered in the test prefix ("Test Camera",
// "Slow Camera", see standins/capturefilter) and Wine's own audio inputs.
#include <windows.h>
#include <dshow.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "capturedevices.h"
#include "testing/watchdog.h"
#include "utils/comptr.h"

namespace VellRecorder {
namespace {

using Testing::WithinOrDie;
using namespace std::chrono_literals;

class CaptureDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    // In a new prefix, right after the stand-ins were registered, Wine's first listing has been seen without the
    // sound server's inputs, and a later one with them: the tests begin once the inputs are listed, or after 5 s.
    for (int attempt = 0; attempt < 20; ++attempt) {
      CaptureDevices inputs({CLSID_AudioInputDeviceCategory});
      if (SUCCEEDED(Load(&inputs)) && !inputs.Devices().empty()) return;
      Sleep(250);
    }
  }
  void TearDown() override { CoUninitialize(); }

  HRESULT Load(CaptureDevices* devices) {
    HRESULT hr = E_FAIL;
    WithinOrDie(20s, "LoadDevices", [&] {
      // COM is per thread: the watchdog's thread joins the multithreaded apartment of this one.
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      hr = devices->LoadDevices();
      CoUninitialize();
    });
    return hr;
  }
};

TEST_F(CaptureDevicesTest, ListsTheCamerasWithTheirLargestSizeThenTheAudioInputs) {
  CaptureDevices devices;
  ASSERT_EQ(Load(&devices), S_OK);
  const auto& list = devices.Devices();
  int test_camera = 0;
  int slow_camera = 0;
  int audio = 0;
  bool audio_seen = false;
  for (const CaptureDevice& device : list) {
    ASSERT_FALSE(device.name.empty());
    if (device.kind == kAudioCaptureDevice) {
      audio_seen = true;
      ++audio;
      EXPECT_TRUE(device.properties.empty());
      continue;
    }
    EXPECT_FALSE(audio_seen) << "a camera listed after an audio input";
    if (device.name == L"Test Camera") ++test_camera;
    if (device.name == L"Slow Camera") ++slow_camera;
  }
  EXPECT_EQ(test_camera, 1);
  EXPECT_EQ(slow_camera, 1);
  EXPECT_GT(audio, 0) << "no audio input listed";
  // 3840x2160 runs at 15 frames per second and 2560x1440 is a VideoInfo2 format: neither counts.
  EXPECT_EQ(devices.GetResolution(L"Test Camera"), (Resolution{1920, 1080}));
  EXPECT_EQ(devices.GetResolution(L"Slow Camera"), (Resolution{0, 0}));
  EXPECT_EQ(devices.GetResolution(L"No Such Camera"), (Resolution{0, 0}));
  for (const CaptureDevice& device : list) {
    if (device.kind == kAudioCaptureDevice) {
      EXPECT_EQ(devices.GetResolution(device.name), (Resolution{0, 0}));
    }
  }
}

// A machine without cameras still has its audio inputs listed.
TEST_F(CaptureDevicesTest, AnEmptyCategoryDoesNotEndTheListing) {
  // {0B7C6A1E-93F2-4E55-8A0D-5D3C2F1E0A99}: a category no device is registered in.
  const GUID kEmpty = {0x0b7c6a1e, 0x93f2, 0x4e55, {0x8a, 0x0d, 0x5d, 0x3c, 0x2f, 0x1e, 0x0a, 0x99}};
  CaptureDevices only_empty({kEmpty});
  ASSERT_EQ(Load(&only_empty), S_OK);
  EXPECT_TRUE(only_empty.Devices().empty());
  CaptureDevices devices({kEmpty, CLSID_AudioInputDeviceCategory});
  ASSERT_EQ(Load(&devices), S_OK);
  ASSERT_FALSE(devices.Devices().empty());
  for (const CaptureDevice& device : devices.Devices()) EXPECT_EQ(device.kind, kAudioCaptureDevice);
}

// What a capture graph asks of a camera (the stand-in must answer it as real ones do): the capture pin's
// stream configuration, one capability per media type the pin enumerates.
TEST_F(CaptureDevicesTest, StandInCameraAnswersTheCaptureGraphBuilder) {
  ComPtr<ICreateDevEnum> device_enum;
  ASSERT_EQ(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                             reinterpret_cast<void**>(device_enum.ReleaseAndGetAddressOf())), S_OK);
  ComPtr<IEnumMoniker> monikers;
  ASSERT_EQ(device_enum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.ReleaseAndGetAddressOf(), 0),
            S_OK);
  ComPtr<IBaseFilter> filter;
  IMoniker* raw = nullptr;
  while (!filter && monikers->Next(1, &raw, nullptr) == S_OK) {
    ComPtr<IMoniker> moniker;
    moniker.Attach(raw);
    ComPtr<IPropertyBag> bag;
    ASSERT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                     reinterpret_cast<void**>(bag.ReleaseAndGetAddressOf())), S_OK);
    VARIANT name;
    VariantInit(&name);
    if (SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR &&
        std::wstring(name.bstrVal) == L"Test Camera") {
      ASSERT_EQ(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                      reinterpret_cast<void**>(filter.ReleaseAndGetAddressOf())), S_OK);
    }
    VariantClear(&name);
  }
  ASSERT_TRUE(filter);
  ComPtr<ICaptureGraphBuilder2> builder;
  ASSERT_EQ(CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                             reinterpret_cast<void**>(builder.ReleaseAndGetAddressOf())), S_OK);
  ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter.Get(), IID_IAMStreamConfig,
                                   reinterpret_cast<void**>(config.ReleaseAndGetAddressOf())), S_OK);
  int count = 0;
  int size = 0;
  ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
  ASSERT_EQ(size, static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)));
  ASSERT_EQ(count, 6);
  for (int i = 0; i < count; ++i) {
    AM_MEDIA_TYPE* type = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps = {};
    ASSERT_EQ(config->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
    EXPECT_EQ(type->formattype, caps.guid);
    if (type->formattype == FORMAT_VideoInfo) {
      const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
      EXPECT_EQ(info->bmiHeader.biWidth, caps.MaxOutputSize.cx);
      EXPECT_EQ(info->AvgTimePerFrame, caps.MinFrameInterval);
    }
    CoTaskMemFree(type->pbFormat);
    CoTaskMemFree(type);
  }
}

}  // namespace
}  // namespace VellRecorder
