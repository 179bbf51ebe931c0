// One recording into a folder of its own, for the session tests: the session, a real HLSSink, the parts it
// reported, the recording's clock, and the "recording.txt" beside the parts that the decode checks
// (check_*session_parts.sh) read.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "media_sources/video/videorecordingsettings.h"
#include "muxers/hlssink.h"
#include "testing/watchdog.h"
#include "utils/clock.h"

namespace VellRecorder::Testing {

// Where a test program leaves its recordings: the folder named by `variable` (set by CTest), else one under
// the temporary folder.
inline std::filesystem::path DumpRoot(const char* variable, const char* fallback) {
  if (const char* dir = std::getenv(variable)) return std::filesystem::path(dir);
  return std::filesystem::temp_directory_path() / fallback;
}

template <typename RecordedSession>
class SessionRecording {
 public:
  // A screen session's: `crop` of the primary display, encoded at `output`.
  SessionRecording(const std::filesystem::path& folder, RECT crop, SIZE output)
      : folder_(folder),
        settings_(std::in_place, L"", crop, output),
        sink_(PrepareFolder(folder_), [this](std::wstring path) { OnPart(std::move(path)); }),
        session_(*settings_, &sink_) {}
  // A session made from its sink alone (the audio session's).
  explicit SessionRecording(const std::filesystem::path& folder)
      : folder_(folder),
        sink_(PrepareFolder(folder_), [this](std::wstring path) { OnPart(std::move(path)); }),
        session_(&sink_) {}

  RecordedSession& Session() { return session_; }
  HLSSink& Sink() { return sink_; }
  // Screen sessions only.
  const VideoRecordingSettings& Settings() const { return *settings_; }
  int64_t StartNs() const { return start_ns_; }

  void Start() {
    start_ns_ = MonotonicNowNs();
    session_.Start(start_ns_);
  }
  void Pause() {
    pause_ns_ = MonotonicNowNs();
    session_.Pause();
  }
  void Resume() {
    paused_ns_ += MonotonicNowNs() - pause_ns_;
    pause_ns_ = 0;
    session_.Resume();
  }

  // Stops the session; a Stop that takes longer than `stop_limit` fails the test. A recording stopped while
  // paused counts the pause up to the stop.
  void StopSession(std::chrono::milliseconds stop_limit = kHangLimit) {
    WithinOrDie(stop_limit, "the session's Stop", [this] { session_.Stop(); });
    stop_ns_ = MonotonicNowNs();
    if (pause_ns_ != 0) paused_ns_ += stop_ns_ - pause_ns_;
    pause_ns_ = 0;
  }
  // Closes the last part (within the watchdog).
  void CloseSink() {
    WithinOrDie(kHangLimit, "HLSSink::Finish", [this] { sink_.Finish(); });
  }
  // "recording.txt" beside the parts, for the decode checks: `lines` ("key=value\n" each), then the recorded
  // and the paused time (wall_ms, paused_ms). After StopSession.
  void WriteInfo(const std::string& lines) {
    std::ofstream(folder_ / "recording.txt") << lines << "wall_ms=" << (stop_ns_ - start_ns_) / 1000000
                                             << "\npaused_ms=" << paused_ns_ / 1000000 << "\n";
  }

  // A screen recording's end: StopSession, CloseSink and, with `decode_check`, its info and a check that the
  // reported parts are the next index each (the check decodes them by index); a recording cut short on purpose
  // is left out of it.
  void Finish(bool decode_check = true, std::chrono::milliseconds stop_limit = kHangLimit) {
    StopSession(stop_limit);
    CloseSink();
    if (!decode_check) return;
    const std::vector<std::wstring> parts = Parts();
    WriteInfo("width=" + std::to_string(settings_->OutputSize().cx) + "\nheight=" +
              std::to_string(settings_->OutputSize().cy) + "\nframes=" + std::to_string(sink_.VideoFrameCount()) +
              "\nparts=" + std::to_string(parts.size()) + "\n");
    for (size_t i = 0; i < parts.size(); ++i) {
      const std::filesystem::path part = folder_ / (L"part-" + std::to_wstring(i) + L".ts");
      EXPECT_EQ(std::filesystem::path(parts[i]).filename(), part.filename());
      EXPECT_GT(std::filesystem::exists(part) ? std::filesystem::file_size(part) : 0u, 0u) << part;
    }
  }

  std::vector<std::wstring> Parts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return parts_;
  }

 private:
  static std::wstring PrepareFolder(const std::filesystem::path& folder) {
    std::filesystem::remove_all(folder);  // parts of an earlier run would be taken for this one's
    std::filesystem::create_directories(folder);
    return folder.wstring();
  }

  void OnPart(std::wstring path) {
    std::lock_guard<std::mutex> lock(mutex_);
    parts_.push_back(std::move(path));
  }

  // Declared before the sink, whose destructor may still report a part.
  std::mutex mutex_;
  std::vector<std::wstring> parts_;  // guarded by mutex_; appended on the session's thread or in Finish
  std::filesystem::path folder_;
  std::optional<VideoRecordingSettings> settings_;  // screen sessions'
  HLSSink sink_;
  RecordedSession session_;
  int64_t start_ns_ = 0;
  int64_t stop_ns_ = 0;
  int64_t pause_ns_ = 0;   // while paused
  int64_t paused_ns_ = 0;  // the pauses so far
};

}  // namespace VellRecorder::Testing
