// The camera query: "get-camera-bounds" answered from the capture devices listed when the loop started.
#include "ipcchannel.h"
#include "utils/textconv.h"

namespace VellRecorder {

using nlohmann::json;

// A missing or non-string "cameraId" throws; the dispatcher reports it and the loop goes on, without a reply.
void IPCChannel::GetCameraBounds(const json& payload) {
  const Resolution size = capture_devices_.GetResolution(ToWide(RequireString(payload, "cameraId")));
  SendWSMessage(L"camera-bounds-info", {{"height", size.height}, {"width", size.width}});
}

}  // namespace VellRecorder
