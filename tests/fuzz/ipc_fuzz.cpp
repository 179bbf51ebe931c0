// Feeds arbitrary bytes, cut into reads of arbitrary sizes with pauses between some, through the frame reader
// and the dispatcher with handlers that read payload members the way the daemon's handlers do.
#include <cstddef>
#include <cstdint>
#include <sstream>

#include "ipcmessageparser.h"
#include "ipcmessages.h"
#include "utils/log.h"

namespace {

using nlohmann::json;
using namespace VellRecorder;

MessageDispatcher& Dispatcher(std::vector<std::string>* replies) {
  static MessageDispatcher dispatcher = [replies] {
    MessageDispatcher d;
    d.Register(L"get-camera-bounds", [replies](const json& p) {
      replies->push_back(EncodeEnvelope(L"camera-bounds-info", {{"id", RequireString(p, "cameraId")}}));
    });
    d.Register(L"check-all-permissions",
               [replies](const json&) { replies->push_back(EncodeEnvelope(L"p", AllPermissionsGranted())); });
    d.Register(L"get-windows", [replies](const json& p) {
      replies->push_back(EncodeEnvelope(L"windows-info", {{"shots", RequireBool(p, "takeScreenshots")}}));
    });
    d.Register(L"recorder-init", [replies](const json& p) {
      const json& options = p.at("recordingOptions");
      const json echo = {{"out", RequireString(options, "outputPath")},
                         {"w", RequireInt(options, "width")},
                         {"h", RequireInt(options, "height")},
                         {"d", RequireUnsigned(options, "displayId")}};
      replies->push_back(EncodeEnvelope(L"recorder-initialized", echo));
    });
    return d;
  }();
  return dispatcher;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::ostringstream sink;
  static bool initialised = [] {
    Log::Init(Log::Severity::kDebug, &sink);
    return true;
  }();
  (void)initialised;
  sink.str("");
  static std::vector<std::string> replies;
  replies.clear();
  MessageDispatcher& dispatcher = Dispatcher(&replies);

  int64_t now = 0;
  FrameReader reader([&now] { return now; });
  size_t at = 0;
  while (at < size) {
    // The first byte of each read decides its length, as a pipe would cut the stream anywhere; its top bit
    // a pause long enough for a partial frame to be dropped before the read.
    const size_t begin = at + 1;
    const size_t length = std::min<size_t>(1 + (data[at] & 0x7F) * 8u, size - begin);
    if (data[at] & 0x80) now += FrameReader::kStallTimeoutNs;
    reader.DropStalled();
    for (const std::string& frame : reader.Append(reinterpret_cast<const char*>(data) + begin, length)) {
      dispatcher.Dispatch(frame);
    }
    at = begin + length;
  }
  return 0;
}
