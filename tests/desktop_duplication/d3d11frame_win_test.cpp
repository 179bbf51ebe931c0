#include <windows.h>
#include <d3d10.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mfidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "d3d/d3d11frame.h"
#include "desktop_duplication/texturereadback.h"
#include "testing/logcapture.h"
#include "testing/testwindow.h"
#include "testing/watchdog.h"

namespace VellRecorder {
namespace {

using Testing::RgbAt;

std::wstring PrimaryDisplayName() {
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info);
  return info.szDevice;
}

LUID AdapterOf(IUnknown* object, bool is_output) {
  DXGI_ADAPTER_DESC desc{};
  ComPtr<IDXGIAdapter> adapter;
  if (is_output) {
    static_cast<IDXGIOutput*>(object)->GetParent(IID_IDXGIAdapter,
                                                 reinterpret_cast<void**>(adapter.ReleaseAndGetAddressOf()));
  } else {
    ComPtr<IDXGIDevice> device;
    object->QueryInterface(IID_IDXGIDevice, reinterpret_cast<void**>(device.ReleaseAndGetAddressOf()));
    if (device) device->GetAdapter(adapter.ReleaseAndGetAddressOf());
  }
  if (adapter) adapter->GetDesc(&desc);
  return desc.AdapterLuid;
}

TEST(D3D11FrameTest, FindsTheOutputByItsExactDeviceName) {
  const std::wstring primary = PrimaryDisplayName();
  ASSERT_EQ(primary.rfind(L"\\\\.\\DISPLAY", 0), 0u);
  std::wstring lower = primary;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
  const struct {
    std::wstring name;
    HRESULT expected;
  } cases[] = {{L"", S_OK}, {primary, S_OK}, {lower, E_FAIL}, {L"\\\\.\\DISPLAY9", E_FAIL}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "name \"" << std::string(c.name.begin(), c.name.end()) << "\"");
    Testing::LogCapture log;
    D3D11Frame frame;
    ASSERT_EQ(frame.Initialize(c.name, SIZE{64, 32}), c.expected);
    EXPECT_EQ(log.Contains("No suitable IDXGIOutput found"), c.expected == E_FAIL);
    if (c.expected != S_OK) {
      EXPECT_EQ(frame.GetOutput(), nullptr);
      EXPECT_EQ(frame.GetDevice(), nullptr);
      continue;
    }
    DXGI_OUTPUT_DESC desc{};
    ASSERT_EQ(frame.GetOutput()->GetDesc(&desc), S_OK);
    EXPECT_EQ(std::wstring(desc.DeviceName), primary);
    // The device lives on the adapter that owns the output, shared safely between threads.
    const LUID output_adapter = AdapterOf(frame.GetOutput(), true);
    const LUID device_adapter = AdapterOf(frame.GetDevice(), false);
    EXPECT_EQ(output_adapter.LowPart, device_adapter.LowPart);
    EXPECT_EQ(output_adapter.HighPart, device_adapter.HighPart);
    ComPtr<ID3D10Multithread> multithread;
    ASSERT_EQ(frame.GetDevice()->QueryInterface(__uuidof(ID3D10Multithread),
                                                reinterpret_cast<void**>(multithread.ReleaseAndGetAddressOf())),
              S_OK);
    EXPECT_TRUE(multithread->GetMultithreadProtected());
  }
}

// Wine's adapters share one method table: while alive, every adapter of the process answers EnumOutputs with
// `result`, as one whose GPU was removed does.
class FailingEnumOutputs {
 public:
  explicit FailingEnumOutputs(HRESULT result) {
    result_ = result;
    calls_ = 0;
    ComPtr<IDXGIFactory1> factory;
    ComPtr<IDXGIAdapter> adapter;
    if (FAILED(CreateDXGIFactory1(IID_IDXGIFactory1, reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()))) ||
        FAILED(factory->EnumAdapters(0, adapter.ReleaseAndGetAddressOf()))) {
      ADD_FAILURE() << "no adapter";
      return;
    }
    slot_ = &(*reinterpret_cast<void***>(adapter.Get()))[kEnumOutputsSlot];
    original_ = Swap(reinterpret_cast<void*>(&Fail));
  }
  ~FailingEnumOutputs() {
    if (slot_) Swap(original_);
  }
  FailingEnumOutputs(const FailingEnumOutputs&) = delete;
  FailingEnumOutputs& operator=(const FailingEnumOutputs&) = delete;

  static int Calls() { return calls_; }

 private:
  // IUnknown's three methods, IDXGIObject's four, then EnumOutputs.
  static constexpr int kEnumOutputsSlot = 7;
  static HRESULT STDMETHODCALLTYPE Fail(IDXGIAdapter*, UINT, IDXGIOutput** output) {
    ++calls_;
    *output = nullptr;
    return result_;
  }
  void* Swap(void* method) {
    DWORD protection = 0;
    VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection);
    void* const previous = *slot_;
    *slot_ = method;
    VirtualProtect(slot_, sizeof(void*), protection, &protection);
    return previous;
  }

  static inline HRESULT result_ = S_OK;
  static inline int calls_ = 0;
  void** slot_ = nullptr;
  void* original_ = nullptr;
};

// An adapter that cannot list its outputs answers the same for every index: it is passed over, not asked again
// for ever, and the frame fails as when no output matches.
TEST(D3D11FrameTest, AnAdapterThatCannotListItsOutputsIsPassedOver) {
  FailingEnumOutputs failing(DXGI_ERROR_DEVICE_REMOVED);
  Testing::LogCapture log;
  D3D11Frame frame;
  HRESULT hr = S_OK;
  Testing::WithinOrDie(std::chrono::milliseconds(10000), "Initialize", [&] { hr = frame.Initialize(L"", SIZE{64, 32}); });
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(log.Contains("No suitable IDXGIOutput found"));
  EXPECT_GE(FailingEnumOutputs::Calls(), 1);
}

TEST(D3D11FrameTest, TextureHasTheCaptureSizeOrTheDesktopsWhenASideIsZero) {
  const int desktop_width = GetSystemMetrics(SM_CXSCREEN);
  const int desktop_height = GetSystemMetrics(SM_CYSCREEN);
  const struct {
    SIZE asked;
    UINT width, height;
  } cases[] = {{{0, 0}, UINT(desktop_width), UINT(desktop_height)},
               {{1366, 768}, 1366, 768},
               {{0, 768}, UINT(desktop_width), UINT(desktop_height)},
               {{640, 0}, UINT(desktop_width), UINT(desktop_height)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.asked.cx << "x" << c.asked.cy);
    D3D11Frame frame;
    ASSERT_EQ(frame.Initialize(L"", c.asked), S_OK);
    D3D11_TEXTURE2D_DESC actual{};
    frame.GetTexture()->GetDesc(&actual);
    EXPECT_EQ(actual.Width, c.width);
    EXPECT_EQ(actual.Height, c.height);
    EXPECT_EQ(actual.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
    EXPECT_EQ(actual.Usage, D3D11_USAGE_DEFAULT);
    EXPECT_EQ(actual.BindFlags, UINT(D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE));
    EXPECT_EQ(actual.MiscFlags, UINT(D3D11_RESOURCE_MISC_GDI_COMPATIBLE));
    EXPECT_EQ(frame.GetTextureDesc().Width, c.width);
    EXPECT_EQ(frame.GetTextureDesc().Height, c.height);
  }
}

// What GDI draws into the texture is what the media buffer over it holds, and the device manager hands out
// the frame's own device to the transforms.
TEST(D3D11FrameTest, DeviceManagerAndMediaBufferShareTheFramesDeviceAndTexture) {
  constexpr int kWidth = 64;
  constexpr int kHeight = 32;
  D3D11Frame frame;
  ASSERT_EQ(frame.Initialize(L"", SIZE{kWidth, kHeight}), S_OK);

  HANDLE handle = nullptr;
  ASSERT_EQ(frame.GetDeviceManager()->OpenDeviceHandle(&handle), S_OK);
  ComPtr<ID3D11Device> managed;
  ASSERT_EQ(frame.GetDeviceManager()->LockDevice(handle, IID_ID3D11Device,
                                                 reinterpret_cast<void**>(managed.ReleaseAndGetAddressOf()), TRUE),
            S_OK);
  EXPECT_EQ(managed.Get(), frame.GetDevice());
  frame.GetDeviceManager()->UnlockDevice(handle, FALSE);
  frame.GetDeviceManager()->CloseDeviceHandle(handle);

  ComPtr<IMFDXGIBuffer> dxgi_buffer;
  ASSERT_EQ(frame.GetMFBuffer()->QueryInterface(IID_IMFDXGIBuffer,
                                                reinterpret_cast<void**>(dxgi_buffer.ReleaseAndGetAddressOf())),
            S_OK);
  ComPtr<ID3D11Texture2D> wrapped;
  ASSERT_EQ(dxgi_buffer->GetResource(IID_ID3D11Texture2D, reinterpret_cast<void**>(wrapped.ReleaseAndGetAddressOf())),
            S_OK);
  EXPECT_EQ(wrapped.Get(), frame.GetTexture());
  DWORD length = 0;
  ASSERT_EQ(frame.GetMFBuffer()->GetCurrentLength(&length), S_OK);
  EXPECT_EQ(length, DWORD(kWidth * kHeight * 4));

  {
    const auto dc = frame.GetDC();
    ASSERT_NE(dc->Get(), nullptr);
    const RECT left{0, 0, kWidth / 2, kHeight};
    const RECT right{kWidth / 2, 0, kWidth, kHeight};
    FillRect(dc->Get(), &left, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    FillRect(dc->Get(), &right, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  const std::vector<uint8_t> pixels = Testing::ReadTexture(frame.GetDevice(), frame.GetTexture());
  ASSERT_EQ(pixels.size(), size_t(kWidth * kHeight * 4));
  EXPECT_EQ(RgbAt(pixels, kWidth, 3, 5), 0x000000u);
  EXPECT_EQ(RgbAt(pixels, kWidth, kWidth - 3, kHeight - 5), 0xFFFFFFu);

  BYTE* bytes = nullptr;
  DWORD max_length = 0;
  DWORD current = 0;
  ASSERT_EQ(frame.GetMFBuffer()->Lock(&bytes, &max_length, &current), S_OK);
  const std::vector<uint8_t> through_buffer(bytes, bytes + std::min<DWORD>(current, pixels.size()));
  frame.GetMFBuffer()->Unlock();
  ASSERT_EQ(through_buffer.size(), pixels.size());
  EXPECT_EQ(RgbAt(through_buffer, kWidth, 3, 5), 0x000000u);
  EXPECT_EQ(RgbAt(through_buffer, kWidth, kWidth - 3, kHeight - 5), 0xFFFFFFu);
}

}  // namespace
}  // namespace VellRecorder
