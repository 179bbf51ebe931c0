// The stand-in answers as the real duplication is documented to: other tests and the daemon's end-to-end runs
// rely on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "d3d/d3d11frame.h"
#include "duplicationstandin.h"
#include "testing/testwindow.h"

namespace VellRecorder {
namespace {

TEST(DuplicationStandInTest, ReportsThePointerAndFollowsTheFaultScript) {
  ASSERT_EQ(StandIn::InstallDuplication(), S_OK);
  StandIn::ClearFaults();
  D3D11Frame frame;
  ASSERT_EQ(frame.Initialize(L"", SIZE{0, 0}), S_OK);
  ComPtr<IDXGIOutputDuplication> duplication;
  ASSERT_EQ(frame.GetOutput()->DuplicateOutput(frame.GetDevice(), duplication.ReleaseAndGetAddressOf()), S_OK);
  DXGI_OUTDUPL_DESC desc{};
  duplication->GetDesc(&desc);
  EXPECT_EQ(desc.ModeDesc.Width, UINT(GetSystemMetrics(SM_CXSCREEN)));
  EXPECT_EQ(desc.ModeDesc.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
  EXPECT_FALSE(desc.DesktopImageInSystemMemory);

  SetCursorPos(500, 400);
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  Testing::PumpMessages(100);
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  ASSERT_EQ(duplication->AcquireNextFrame(0, &info, resource.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(info.PointerPosition.Position.x, 500);
  EXPECT_EQ(info.PointerPosition.Position.y, 400);
  EXPECT_TRUE(info.PointerPosition.Visible);
  EXPECT_NE(info.LastMouseUpdateTime.QuadPart, 0);
  ASSERT_GT(info.PointerShapeBufferSize, 0u);
  std::vector<uint8_t> shape(info.PointerShapeBufferSize);
  UINT required = 0;
  DXGI_OUTDUPL_POINTER_SHAPE_INFO shape_info{};
  ASSERT_EQ(duplication->GetFramePointerShape(UINT(shape.size()), shape.data(), &required, &shape_info), S_OK);
  ICONINFO arrow{};
  GetIconInfo(LoadCursorW(nullptr, IDC_ARROW), &arrow);
  EXPECT_EQ(shape_info.HotSpot.x, LONG(arrow.xHotspot));
  EXPECT_EQ(shape_info.HotSpot.y, LONG(arrow.yHotspot));
  EXPECT_GT(shape_info.Width, 0u);
  if (arrow.hbmMask) DeleteObject(arrow.hbmMask);
  if (arrow.hbmColor) DeleteObject(arrow.hbmColor);
  // One frame at a time; a pointer that did not change is not reported again.
  EXPECT_EQ(duplication->AcquireNextFrame(0, &info, resource.ReleaseAndGetAddressOf()), DXGI_ERROR_INVALID_CALL);
  EXPECT_EQ(duplication->ReleaseFrame(), S_OK);
  EXPECT_EQ(duplication->ReleaseFrame(), DXGI_ERROR_INVALID_CALL);
  ASSERT_EQ(duplication->AcquireNextFrame(0, &info, resource.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(info.LastMouseUpdateTime.QuadPart, 0);
  EXPECT_EQ(info.PointerShapeBufferSize, 0u);
  EXPECT_EQ(duplication->ReleaseFrame(), S_OK);

  EXPECT_FALSE(StandIn::ApplyFaults("lose-after=x"));
  EXPECT_FALSE(StandIn::ApplyFaults("speed=3"));
  ASSERT_TRUE(StandIn::ApplyFaults("timeouts=1,lose-after=2,refusals=2"));
  EXPECT_EQ(duplication->AcquireNextFrame(0, &info, resource.ReleaseAndGetAddressOf()), DXGI_ERROR_WAIT_TIMEOUT);
  EXPECT_FALSE(resource);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(duplication->AcquireNextFrame(0, &info, resource.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(duplication->ReleaseFrame(), S_OK);
  }
  EXPECT_EQ(duplication->AcquireNextFrame(0, &info, resource.ReleaseAndGetAddressOf()), DXGI_ERROR_ACCESS_LOST);
  EXPECT_EQ(duplication->ReleaseFrame(), DXGI_ERROR_ACCESS_LOST);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(frame.GetOutput()->DuplicateOutput(frame.GetDevice(), duplication.ReleaseAndGetAddressOf()),
              E_ACCESSDENIED);
  }
  EXPECT_EQ(frame.GetOutput()->DuplicateOutput(frame.GetDevice(), duplication.ReleaseAndGetAddressOf()), S_OK);
  StandIn::ClearFaults();

  // One duplication of an output at a time, a lost one not yet released included.
  ComPtr<IDXGIOutputDuplication> second;
  EXPECT_EQ(frame.GetOutput()->DuplicateOutput(frame.GetDevice(), second.ReleaseAndGetAddressOf()), E_INVALIDARG);
  StandIn::LoseAccess(0);
  EXPECT_EQ(frame.GetOutput()->DuplicateOutput(frame.GetDevice(), second.ReleaseAndGetAddressOf()), E_INVALIDARG);
  duplication.Reset();
  EXPECT_EQ(frame.GetOutput()->DuplicateOutput(frame.GetDevice(), second.ReleaseAndGetAddressOf()), S_OK);
}

}  // namespace
}  // namespace VellRecorder
