#include <windows.h>
#include <mfapi.h>

#include <gtest/gtest.h>

#include "d3d/optionalfunctions.h"
#include "utils/comptr.h"

namespace VellRecorder {
namespace {

// Each entry must be bound to the system function of its own name: a stand-in would answer E_NOTIMPL.
TEST(OptionalFunctionsTest, PresentFunctionsAreTheSystemOnes) {
  const OptionalFunctions& functions = OptionalFunctions::Get();
  EXPECT_EQ(&functions, &OptionalFunctions::Get());
  ASSERT_NE(functions.MfplatModule(), nullptr);
  ASSERT_NE(functions.ShcoreModule(), nullptr);

  UINT token = 0;
  ComPtr<IMFDXGIDeviceManager> manager;
  EXPECT_EQ(functions.MFCreateDXGIDeviceManager(&token, manager.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_TRUE(manager);

  UINT dpi_x = 0;
  UINT dpi_y = 0;
  const HMONITOR primary = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  EXPECT_EQ(functions.GetDpiForMonitor(primary, MDT_EFFECTIVE_DPI, &dpi_x, &dpi_y), S_OK);
  EXPECT_GT(dpi_x, 0u);

  // Without a surface the real function refuses the arguments instead of answering "not implemented".
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_NE(functions.MFCreateDXGISurfaceBuffer(IID_IUnknown, nullptr, 0, FALSE, buffer.ReleaseAndGetAddressOf()),
            E_NOTIMPL);
}

}  // namespace
}  // namespace VellRecorder
