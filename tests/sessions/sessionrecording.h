// One screen recording into a folder of its own, for the screen session tests: the session, a real HLSSink, the
// parts it reported, and the "recording.txt" beside them that the decode checks (check_*session_parts.sh) read.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
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

template <typename ScreenSession>
class SessionRecording {
 public:
  SessionRecording(const std::filesystem::path& folder, RECT crop, SIZE output)
      : folder_(folder),
        settings_(L"", crop, output),
        sink_(PrepareFolder(folder_), [this](std::wstring path) { OnPart(std::move(path)); }),
        session_(settings_, &sink_) {}

  ScreenSession& Session() { return session_; }
  HLSSink& Sink() { return sink_; }
  const VideoRecordingSettings& Settings() const { return settings_; }
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
    session_.Resume();
  }

  // Stops the session (a Stop that takes longer than `stop_limit` fails the test) and closes the last part.
  // With `decode_check`, writes what the decode check needs to know and checks that the reported parts are the
  // next index each (the check decodes them by index); a recording cut short on purpose is left out of it.
  void Finish(bool decode_check = true, std::chrono::milliseconds stop_limit = kHangLimit) {
    WithinOrDie(stop_limit, "the session's Stop", [this] { session_.Stop(); });
    const int64_t wall_ms = (MonotonicNowNs() - start_ns_) / 1000000;
    WithinOrDie(kHangLimit, "HLSSink::Finish", [this] { sink_.Finish(); });
    if (!decode_check) return;
    const std::vector<std::wstring> parts = Parts();
    std::ofstream(folder_ / "recording.txt")
        << "width=" << settings_.OutputSize().cx << "\nheight=" << settings_.OutputSize().cy
        << "\nframes=" << sink_.VideoFrameCount() << "\nparts=" << parts.size() << "\nwall_ms=" << wall_ms
        << "\npaused_ms=" << paused_ns_ / 1000000 << "\n";
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
  VideoRecordingSettings settings_;
  HLSSink sink_;
  ScreenSession session_;
  int64_t start_ns_ = 0;
  int64_t pause_ns_ = 0;
  int64_t paused_ns_ = 0;
};

}  // namespace VellRecorder::Testing
