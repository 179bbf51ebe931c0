// Lock-once access to the bytes of a sample or a media buffer: the lock lives exactly as long as the
// loader, so a stage cannot forget to unlock on an early return.
#pragma once

#include <windows.h>
#include <mfobjects.h>

#include <optional>

#include "utils/comptr.h"

namespace VellRecorder {

class BufferLoader {
 public:
  struct Bytes {
    BYTE* data;
    DWORD length;
  };

  // Takes the sample's contiguous buffer (merging its buffers if it has several). A sample without
  // buffers leaves the loader empty.
  explicit BufferLoader(IMFSample* sample);
  // Adds a reference to the buffer.
  explicit BufferLoader(IMFMediaBuffer* buffer);
  ~BufferLoader();
  BufferLoader(const BufferLoader&) = delete;
  BufferLoader& operator=(const BufferLoader&) = delete;

  // Lock the buffer and give its bytes with the allocated length. Only the first load of a loader
  // succeeds; an empty loader or a failed lock gives nothing.
  std::optional<Bytes> LoadMaxLength();
  // As LoadMaxLength, with the length of the valid data.
  std::optional<Bytes> LoadCurrentLength();

 private:
  std::optional<Bytes> Load(bool current_length);

  ComPtr<IMFMediaBuffer> buffer_;
  bool load_attempted_ = false;
  bool locked_ = false;
};

}  // namespace VellRecorder
