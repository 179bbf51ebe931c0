// The capture devices as the control channel keeps them: what was listed, and the camera resolution chosen
// from a device's formats. No Windows API here; the DirectShow side fills the list (capturedevices.h).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace VellRecorder {

struct Resolution {
  int32_t width = 0;
  int32_t height = 0;
};

inline bool operator==(const Resolution& a, const Resolution& b) { return a.width == b.width && a.height == b.height; }

enum CaptureDeviceKind : int32_t {
  kAudioCaptureDevice = 0,
  kVideoCaptureDevice = 1,
};

using DeviceProperty = std::variant<std::wstring, int32_t>;

struct CaptureDevice {
  std::wstring name;  // "Description", else "FriendlyName": the id the host application uses for cameras
  int32_t kind = kAudioCaptureDevice;
  std::map<std::string, DeviceProperty> properties;  // cameras: "width" and "height"
};

// One capture format a camera offers. avgTimePerFrame is in 100-ns units, as DirectShow gives it.
struct VideoFormat {
  int32_t width = 0;
  int32_t height = 0;
  int64_t avgTimePerFrame = 0;
};

// The format with the most pixels among those faster than 15 frames per second (whole frames per second,
// rounded down); the first one enumerated wins a tie. None when no format qualifies, including formats
// that state no frame rate at all.
std::optional<Resolution> LargestResolution(const std::vector<VideoFormat>& formats);

// A camera's entry: "width" and "height" from its largest resolution, none when no format qualified.
CaptureDevice MakeCamera(std::wstring name, const std::optional<Resolution>& largest);

// Enumeration order is kept. Main thread only.
class CaptureDeviceList {
 public:
  void Add(CaptureDevice device) { devices_.push_back(std::move(device)); }
  const std::vector<CaptureDevice>& Devices() const { return devices_; }
  // The stored size of the first camera with exactly that name; {0, 0} when no camera has it (an audio
  // device of that name included) or the camera has no qualifying format.
  Resolution GetResolution(const std::wstring& name) const;

 private:
  std::vector<CaptureDevice> devices_;
};

}  // namespace VellRecorder
