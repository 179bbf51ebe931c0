#include "muxers/partfile.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <share.h>
#endif

#include "utils/log.h"
#include "utils/textconv.h"

namespace VellRecorder {
namespace {

#ifdef _WIN32
constexpr wchar_t kSeparator = L'\\';
std::filesystem::path FsPath(const std::wstring& path) { return std::filesystem::path(path); }
// Shared for reading and writing, so the host application may read a part while it is written.
std::FILE* OpenForWriting(const std::wstring& path) { return _wfsopen(path.c_str(), L"wb", _SH_DENYNO); }
#else
constexpr wchar_t kSeparator = L'/';
std::filesystem::path FsPath(const std::wstring& path) { return std::filesystem::path(ToUtf8(path)); }
std::FILE* OpenForWriting(const std::wstring& path) { return std::fopen(ToUtf8(path).c_str(), "wb"); }
#endif

std::string ErrnoText(int error) { return std::generic_category().message(error); }

}  // namespace

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  return folder + kSeparator + name;
}

PartFile::~PartFile() { Close(); }

bool PartFile::Open(const std::wstring& folder, const std::wstring& path) {
  Close();
  path_ = path;
  write_failed_ = false;
  std::error_code error;
  std::filesystem::create_directories(FsPath(folder), error);
  if (error) {
    LOG_ERROR << "Cannot create the output folder " << folder << ": " << error.message();
  }
  errno = 0;
  file_ = OpenForWriting(path);
  if (!file_) {
    LOG_ERROR << "Cannot open part file " << path << ": " << ErrnoText(errno);
    return false;
  }
  // Unbuffered: each frame's block goes to the system in one write, so the file on disk is whole up to
  // the last frame even if the process is ended without notice, and a failure shows at the frame.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

void PartFile::Write(const uint8_t* data, size_t length) {
  if (!file_ || length == 0) return;
  errno = 0;
  if (std::fwrite(data, 1, length, file_) != length && !write_failed_) {
    write_failed_ = true;
    LOG_ERROR << "Cannot write part file " << path_ << ": " << ErrnoText(errno);
  }
}

void PartFile::Close() {
  if (!file_) return;
  errno = 0;
  const bool failed = std::fclose(file_) != 0;
  file_ = nullptr;
  if (failed) {
    LOG_ERROR << "Cannot close part file " << path_ << ": " << ErrnoText(errno);
  }
}

}  // namespace VellRecorder
