// Where part files meet the platform: path joining, folder creation, and a file opened so that other
// processes may read it while it is being written. Failures are logged with the path and the system's
// reason; the sink carries on with the next part.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace VellRecorder {

// folder + the platform's separator + name.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

class PartFile {
 public:
  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile();

  // Creates `folder` (and its parents) when missing, then opens `path` for writing, truncating it.
  // Closes a file still open first. Returns false, with an error record, when the file cannot be opened.
  bool Open(const std::wstring& folder, const std::wstring& path);
  bool IsOpen() const { return file_ != nullptr; }
  // Drops the bytes when no file is open. The first failed write of a file is logged.
  void Write(const uint8_t* data, size_t length);
  // Flushes and closes; a failure is logged. Nothing happens when no file is open.
  void Close();

 private:
  std::FILE* file_ = nullptr;
  std::wstring path_;
  bool write_failed_ = false;
};

}  // namespace VellRecorder
