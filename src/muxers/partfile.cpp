#include "muxers/partfile.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#endif

#include "utils/log.h"
#include "utils/textconv.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;

constexpr intptr_t kInvalid = -1;

// The file system calls, each reporting failure through LastError(), read at once by the caller. Files are
// written without any buffering of ours: each frame's block goes to the system in one call, so the file on
// disk is whole up to the last frame even if the process is ended without notice, and a failure shows at
// the frame that met it.
#ifdef _WIN32
constexpr wchar_t kSeparator = L'\\';
fs::path FsPath(const std::wstring& path) { return fs::path(path); }
std::string Utf8(const fs::path& path) { return ToUtf8(path.wstring()); }
int LastError() { return static_cast<int>(GetLastError()); }
bool IsExistsError(int error) { return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS; }
std::string ProcessId() { return std::to_string(GetCurrentProcessId()); }

std::string ErrorText(int error) {
  wchar_t text[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error), 0, text, ARRAYSIZE(text), nullptr);
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) --length;
  const std::string reason = length > 0 ? ToUtf8(std::wstring_view(text, length)) : "unknown error";
  return reason + " (error " + std::to_string(error) + ")";
}

bool IsFolder(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
bool MakeFolder(const fs::path& path) { return CreateDirectoryW(path.c_str(), nullptr) != 0; }
bool RemoveFolder(const fs::path& path) { return RemoveDirectoryW(path.c_str()) != 0; }
bool RemoveFile(const fs::path& path) { return DeleteFileW(path.c_str()) != 0; }

// Shared for reading and writing, so the host application may read a part while it is written.
intptr_t OpenFile(const fs::path& path, bool must_be_new) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  must_be_new ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? kInvalid : reinterpret_cast<intptr_t>(file);
}

bool WriteAll(intptr_t file, const uint8_t* data, size_t length, size_t* written) {
  *written = 0;
  while (*written < length) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length - *written, 1u << 30));
    DWORD done = 0;
    const BOOL ok = WriteFile(reinterpret_cast<HANDLE>(file), data + *written, chunk, &done, nullptr);
    *written += done;
    if (!ok) return false;
    if (done == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
  }
  return true;
}

bool Truncate(intptr_t file, uint64_t length) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  return SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
}

bool CloseFile(intptr_t file) { return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0; }
bool IsRegularFile(intptr_t file) { return GetFileType(reinterpret_cast<HANDLE>(file)) == FILE_TYPE_DISK; }
#else
constexpr wchar_t kSeparator = L'/';
fs::path FsPath(const std::wstring& path) { return fs::path(ToUtf8(path)); }
std::string Utf8(const fs::path& path) { return path.string(); }
int LastError() { return errno; }
bool IsExistsError(int error) { return error == EEXIST; }
std::string ProcessId() { return std::to_string(getpid()); }

std::string ErrorText(int error) {
  return std::generic_category().message(error) + " (errno " + std::to_string(error) + ")";
}

bool IsFolder(const fs::path& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}
bool MakeFolder(const fs::path& path) { return mkdir(path.c_str(), 0777) == 0; }
bool RemoveFolder(const fs::path& path) { return rmdir(path.c_str()) == 0; }
bool RemoveFile(const fs::path& path) { return unlink(path.c_str()) == 0; }

intptr_t OpenFile(const fs::path& path, bool must_be_new) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (must_be_new ? O_EXCL : O_TRUNC);
  const int file = open(path.c_str(), flags, 0666);
  return file < 0 ? kInvalid : file;
}

bool WriteAll(intptr_t file, const uint8_t* data, size_t length, size_t* written) {
  *written = 0;
  while (*written < length) {
    const ssize_t done = write(static_cast<int>(file), data + *written, length - *written);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return false;
    if (done == 0) {
      errno = EIO;
      return false;
    }
    *written += static_cast<size_t>(done);
  }
  return true;
}

bool Truncate(intptr_t file, uint64_t length) {
  return ftruncate(static_cast<int>(file), static_cast<off_t>(length)) == 0;
}
bool CloseFile(intptr_t file) { return close(static_cast<int>(file)) == 0; }
bool IsRegularFile(intptr_t file) {
  struct stat status;
  return fstat(static_cast<int>(file), &status) == 0 && S_ISREG(status.st_mode);
}
#endif

// Creates the folders from the root down to `folder` that do not exist yet; those created are added to
// `created` when given. Returns why one could not be made, or an empty string.
std::string MakeFolders(const fs::path& folder, std::vector<fs::path>* created) {
  fs::path prefix = folder.root_path();
  for (const fs::path& name : folder.relative_path()) {
    if (name.empty() || name == ".") continue;
    prefix /= name;
    if (IsFolder(prefix)) continue;
    if (MakeFolder(prefix)) {
      if (created) created->push_back(prefix);
      continue;
    }
    const int error = LastError();
    if (IsFolder(prefix)) continue;  // made by another process meanwhile
    return "cannot create the folder " + Utf8(prefix) + ": " + ErrorText(error);
  }
  return {};
}

// Creates, writes and deletes a file of one transport packet's size in `folder`.
std::string TryWriting(const fs::path& folder) {
  static std::atomic<unsigned> trial_count{0};
  const uint8_t packet[188] = {0x47};
  for (int attempt = 0; attempt < 8; ++attempt) {
    const fs::path trial =
        folder / (".vell-write-test-" + ProcessId() + "-" + std::to_string(trial_count++) + ".tmp");
    const intptr_t file = OpenFile(trial, /*must_be_new=*/true);
    if (file == kInvalid) {
      const int error = LastError();
      if (IsExistsError(error)) continue;  // left by another process: try another name
      return "cannot create a file in " + Utf8(folder) + ": " + ErrorText(error);
    }
    size_t written = 0;
    const bool wrote = WriteAll(file, packet, sizeof(packet), &written);
    const int error = LastError();
    CloseFile(file);
    if (!RemoveFile(trial)) {
      const int remove_error = LastError();
      LOG_ERROR << "Cannot remove the trial file " << Utf8(trial) << ": " << ErrorText(remove_error);
    }
    if (!wrote) return "cannot write in " + Utf8(folder) + ": " + ErrorText(error);
    return {};
  }
  return "cannot create a file in " + Utf8(folder) + ": every trial name is taken";
}

}  // namespace

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  return folder + kSeparator + name;
}

std::string PrepareOutputFolder(const std::wstring& folder) {
  if (folder.empty()) return "the output folder is empty";
  const fs::path path = FsPath(folder).lexically_normal();
  // A relative path would depend on the working folder the host application happened to give the daemon.
  if (!path.is_absolute()) return "the output folder " + ToUtf8(folder) + " is not an absolute path";
  std::vector<fs::path> created;
  std::string reason = MakeFolders(path, &created);
  if (reason.empty()) reason = TryWriting(path);
  if (!reason.empty()) {
    for (auto it = created.rbegin(); it != created.rend(); ++it) RemoveFolder(*it);
  }
  return reason;
}

uint64_t NumberAfterExisting(const std::wstring& folder, const std::wstring& prefix, const std::wstring& suffix) {
  // More digits than this name a number no recording reaches: it cannot be taken by one of ours.
  constexpr size_t kMaxDigits = 15;
  const auto lower = [](std::wstring text) {
    for (wchar_t& c : text) c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return text;
  };
  const std::wstring head = lower(prefix);
  const std::wstring tail = lower(suffix);
  uint64_t next = 0;
  std::error_code error;
  for (fs::directory_iterator it(FsPath(folder), error), end; !error && it != end; it.increment(error)) {
#ifdef _WIN32
    const std::wstring name = lower(it->path().filename().wstring());
#else
    const std::wstring name = lower(ToWide(it->path().filename().string()));
#endif
    if (name.size() <= head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
      continue;
    }
    const std::wstring digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    if (digits.size() > kMaxDigits || digits.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
    next = std::max<uint64_t>(next, std::stoull(digits) + 1);
  }
  if (error && IsFolder(FsPath(folder))) {
    LOG_ERROR << "Cannot read the folder " << folder << " for earlier parts: " << error.message();
  }
  return next;
}

PartFile::~PartFile() { Close(); }

bool PartFile::Open(const std::wstring& folder, const std::wstring& path, Existing existing) {
  Close();
  path_ = path;
  whole_length_ = 0;
  write_failed_ = false;
  torn_ = false;
  taken_ = false;
  // The folder may have been removed while recording.
  const std::string reason = MakeFolders(FsPath(folder), nullptr);
  if (!reason.empty()) LOG_ERROR << "Cannot create the output folder " << folder << ": " << reason;
  file_ = OpenFile(FsPath(path), /*must_be_new=*/existing == Existing::kKeep);
  if (file_ == kNoFile) {
    const int error = LastError();
    taken_ = existing == Existing::kKeep && IsExistsError(error);
    if (!taken_) LOG_ERROR << "Cannot open part file " << path << ": " << ErrorText(error);
    return false;
  }
  regular_ = IsRegularFile(file_);
  return true;
}

bool PartFile::Write(const uint8_t* data, size_t length) {
  if (file_ == kNoFile || write_failed_) return false;
  size_t written = 0;
  if (WriteAll(file_, data, length, &written)) {
    whole_length_ += length;
    return true;
  }
  const int error = LastError();
  write_failed_ = true;
  LOG_ERROR << "Cannot write part file " << path_ << ": " << ErrorText(error)
            << "; the part ends with its last whole frame, at byte " << whole_length_;
  if (written > 0) torn_ = !CutToWholeBlocks();
  return false;
}

bool PartFile::CutToWholeBlocks() {
  if (Truncate(file_, whole_length_)) return true;
  const int error = LastError();
  LOG_ERROR << "Cannot cut part file " << path_ << " back to " << whole_length_ << " bytes: " << ErrorText(error);
  return false;
}

bool PartFile::Close() {
  if (file_ == kNoFile) return false;
  if (!CloseFile(std::exchange(file_, kNoFile))) {
    const int error = LastError();
    LOG_ERROR << "Cannot close part file " << path_ << ": " << ErrorText(error);
  }
  if (!write_failed_) return true;
  if (torn_) {
    LOG_ERROR << "Part file " << path_ << " ends in a torn frame; it is not reported";
    return false;
  }
  if (whole_length_ > 0) return true;
  // Only an ordinary file is ours to remove: never a device that stood at the part's path.
  if (regular_ && !RemoveFile(FsPath(path_))) {
    const int error = LastError();
    LOG_ERROR << "Cannot remove the empty part file " << path_ << ": " << ErrorText(error);
  }
  LOG_WARNING << "Part file " << path_ << " holds no whole frame; " << (regular_ ? "removed, " : "") << "not reported";
  return false;
}

}  // namespace VellRecorder
