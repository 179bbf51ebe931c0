// Where part files meet the platform: path joining, the output folder, and a file opened so that other
// processes may read it while it is being written. Failures are logged with the path and the system's own
// text for the error; the sink carries on with the next part.
#pragma once

#include <cstdint>
#include <string>

namespace VellRecorder {

// folder + the platform's separator + name.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// Makes sure `folder` can hold the recording: an absolute path whose folders exist or can be created, and in
// which a file can be created, written and deleted (the trial file is removed again). Returns an empty string,
// or why the folder cannot be used. On failure, folders this call created are removed again.
std::string PrepareOutputFolder(const std::wstring& folder);

// The number after the highest of the files named `prefix`, a decimal number, `suffix` in `folder` (letters
// compared without regard to case, as Windows names are), or 0 when there is none. A folder that cannot be read
// counts as holding none; one that exists is logged.
uint64_t NumberAfterExisting(const std::wstring& folder, const std::wstring& prefix, const std::wstring& suffix);

class PartFile {
 public:
  // What Open does with a file that is already at the path.
  enum class Existing { kReplace, kKeep };

  PartFile() = default;
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;
  ~PartFile();

  // Creates `folder` (and its parents) when missing, then opens `path` for writing, truncating it (kReplace) or
  // only as a new file (kKeep). Closes a file still open first. Returns false when the file cannot be opened:
  // with an error record, or, when kKeep found something at the path, without one and with Taken() true.
  bool Open(const std::wstring& folder, const std::wstring& path, Existing existing = Existing::kReplace);
  bool IsOpen() const { return file_ != kNoFile; }
  // The last Open found something at its path and left it alone.
  bool Taken() const { return taken_; }
  // Writes one frame's block whole, or not at all: returns whether the block is now in the file. After a
  // failed write the file is cut back to its last whole block, the failure is logged, and every later
  // block is dropped, so a part never holds a torn frame followed by more frames.
  bool Write(const uint8_t* data, size_t length);
  // Closes the file and says whether it is a part worth reporting: it was opened and holds only whole
  // blocks — all of them, or, after a failed write, at least one. An ordinary file that a failure left
  // empty is removed. Nothing happens (false) when no file is open.
  bool Close();

 private:
  static constexpr intptr_t kNoFile = -1;

  // Cuts the file back to its whole blocks after a failed write; false when even that failed.
  bool CutToWholeBlocks();

  intptr_t file_ = kNoFile;  // a HANDLE on Windows, a descriptor elsewhere
  std::wstring path_;
  uint64_t whole_length_ = 0;  // bytes of the blocks written whole
  bool write_failed_ = false;
  bool torn_ = false;  // a failed write left bytes past whole_length_ that could not be cut off
  bool regular_ = false;  // an ordinary file on a disk, not a device
  bool taken_ = false;
};

}  // namespace VellRecorder
