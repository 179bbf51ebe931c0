// Frames, temporary folders and file access for the sink's tests, on both platforms.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "utils/textconv.h"

namespace VellRecorder::Testing {

using Bytes = std::vector<uint8_t>;

// The smallest frames the sink tells apart: an H.264 keyframe (SPS and IDR slice), an inter frame and an ADTS
// audio frame.
inline const Bytes kKeyframe = {0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0x00, 0x1F, 0x00, 0x00, 0x00, 0x01, 0x65, 0x88};
inline const Bytes kInterFrame = {0x00, 0x00, 0x00, 0x01, 0x41, 0x9A, 0x02, 0x03};
inline const Bytes kAudioFrame = {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC, 0x21, 0x00};

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline std::filesystem::path FsPath(const std::wstring& path) {
#ifdef _WIN32
  return std::filesystem::path(path);
#else
  return std::filesystem::path(ToUtf8(path));
#endif
}

inline std::wstring WidePath(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  return ToWide(path.string());
#endif
}

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("vell-muxers-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::wstring wide() const { return WidePath(path_); }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace VellRecorder::Testing
