// The control channel's recording messages and display query: "recorder-init" to "recorder-finished",
// "hls-part-written", and "get-display-screenshots".
#include <cstdlib>
#include <optional>

#include "exception.h"
#include "ipcchannel.h"
#include "media_sources/video/displaygeometry.h"
#include "media_sources/video/rectconv.h"
#include "utils/clock.h"
#include "utils/log.h"
#include "utils/textconv.h"

namespace VellRecorder {

using nlohmann::json;

void IPCChannel::GetDisplayScreenshots(const json&) {
  json displays;  // null when there is no display
  for (const DisplayInfo& display : displays_.GetDisplays()) {
    displays.push_back({{"id", std::stoll(ToUtf8(display.id))}, {"screenshotPath", ToUtf8(display.screenshotPath)}});
  }
  SendWSMessage(L"display-info", {{"displays", displays}});
}

void IPCChannel::RecorderInit(const json& payload) {
  try {
    InitRecording(payload);
  } catch (const std::exception& e) {
    // The catalogue has no error reply: the host application learns of this by the daemon ending. End in
    // order: what was recorded is closed and reported first.
    LOG_ERROR << "Failed to initialize the recording: " << e.what();
    StopRecording();
    exit_status_ = EXIT_FAILURE;
    return;
  }
  SendWSMessage(L"recorder-initialized");
}

void IPCChannel::InitRecording(const json& payload) {
  const json options = RequireObject(payload, "recordingOptions");
  const std::wstring output = ToWide(RequireString(options, "outputPath"));
  // The host application waits for the reply: where the time goes is logged stage by stage.
  int64_t stage_began_ns = MonotonicNowNs();
  const auto stage_ms = [&stage_began_ns] {
    const int64_t now_ns = MonotonicNowNs();
    const int64_t ms = (now_ns - stage_began_ns) / 1000000;
    stage_began_ns = now_ns;
    return ms;
  };
  // The new recording replaces the old one, which is destroyed here: its threads end and its open part is
  // reported.
  recorder_ = std::make_unique<Recorder>(output, [this](std::wstring path) {
    SendWSMessage(L"hls-part-written", {{"filePath", ToUtf8(path)}});
  });
  const int64_t folder_ms = stage_ms();  // with the end of a recording it replaces

  const bool cam_only = options.contains("camOnly") && options["camOnly"] == true;
  const std::string audio_device = RequireString(options, "audioDeviceId");
  const bool want_audio =
      !audio_device.empty() || (options.contains("recordInternalAudio") && options["recordInternalAudio"] == true);
  if (cam_only) {
    const uint32_t height = RequireUint32(options, "height");
    const uint32_t width = RequireUint32(options, "width");
    recorder_->CreateCameraRecording(ToWide(RequireString(options, "videoDeviceId")), width, height);
  } else {
    int32_t width = RequireInt32(options, "width");
    int32_t height = RequireInt32(options, "height");
    const uint64_t display_id = RequireUnsigned(options, "displayId");
    // An id that matches no display gives an empty name: the primary display.
    const std::wstring display = displays_.FindDisplayById(std::to_wstring(display_id)).deviceName;
    RECT capture = {0, 0, 0, 0};
    if (options.contains("cropRect")) {
      // The host gives the crop in points; capture works in pixels, and only on the display.
      const float scale = displays_.GetScaleFactor(display);
      const json& crop = RequireObject(options, "cropRect");
      const int32_t crop_width = RequireInt32(crop, "Width");
      const int32_t crop_height = RequireInt32(crop, "Height");
      const int32_t crop_x = RequireInt32(crop, "X");
      const int32_t crop_y = RequireInt32(crop, "Y");
      const std::optional<RECT> bounds = displays_.FindMonitorBounds(display);
      if (!bounds) VELL_THROW("display not found: " + ToUtf8(display));
      const std::optional<DisplayRect> pixels =
          CropToPixels(crop_x, crop_y, crop_width, crop_height, scale,
                       DisplaySize{bounds->right - bounds->left, bounds->bottom - bounds->top});
      if (!pixels) VELL_THROW("the crop lies outside the display");
      capture = ToRect(*pixels);
      width = pixels->Width();
      height = pixels->Height();
    }
    recorder_->CreateScreenRecording(display, capture, width, height);
  }
  const int64_t video_ms = stage_ms();
  if (want_audio) {
    recorder_->CreateAudioRecording(RequireBool(options, "recordInternalAudio"),
                                    ToWide(RequireString(options, "audioDeviceId")));
  }
  LOG_DEBUG << "recorder-init stages: output folder "
            << folder_ms << " ms, " << (cam_only ? "camera " : "screen ") << video_ms << " ms, sound " << stage_ms()
            << " ms";
}

bool IPCChannel::HasRecorder(const char* message) const {
  if (recorder_) return true;
  LOG_ERROR << "\"" << message << "\" without a recording; ignored";
  return false;
}

void IPCChannel::StopRecording() {
  if (!recorder_) return;
  recorder_->Stop();
  recorder_.reset();
}

// A step out of order ("recorder-start" twice or after "finish", "pause" before "recorder-start", ...) is
// refused by the Recorder with an error record and gets no reply: a reply would tell the host application
// that something happened which did not.
void IPCChannel::RecorderStart(const json&) {
  if (!HasRecorder("recorder-start") || !recorder_->Start()) return;
  SendWSMessage(L"recorder-started");
}

void IPCChannel::Pause(const json&) {
  if (!HasRecorder("pause") || !recorder_->Pause()) return;
  SendWSMessage(L"recorder-paused");
}

void IPCChannel::Resume(const json&) {
  if (!HasRecorder("resume") || !recorder_->Resume()) return;
  SendWSMessage(L"recorder-resumed");
}

// "finish" and "cancel" are always answered, even on a recording already stopped, which stays as it was:
// the host application waits for "recorder-finished".
void IPCChannel::Finish(const json&) {
  if (!HasRecorder("finish")) return;
  // Stopping reports the last part, so its "hls-part-written" is queued before "recorder-finished".
  recorder_->Stop();
  json metrics = json::array();
  for (const Metric& metric : recorder_->GetMetrics()) metrics.push_back(MetricToJson(metric));
  SendWSMessage(L"recorder-finished", {{"recordingMetrics", metrics}});
}

void IPCChannel::Cancel(const json&) {
  if (!HasRecorder("cancel")) return;
  recorder_->Stop();
  SendWSMessage(L"recorder-finished");
}

}  // namespace VellRecorder
