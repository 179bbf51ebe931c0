#include "sessions/silenceloop.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <memory>
#include <vector>

#include "media_transforms/recordingaudio.h"
#include "muxers/wavwriter.h"
#include "utils/deadlineworker.h"
#include "utils/log.h"

namespace VellRecorder {
namespace {

// PlaySound reads the image for as long as the sound loops, and stopping it is asynchronous on some systems, or
// abandoned here: one image for the life of the process can never be freed under a playing sound.
const std::vector<uint8_t>& SilenceImage() {
  static const std::vector<uint8_t> image = [] {
    return MakeSilenceWav(PcmFormat{RecordingAudio::kChannels, RecordingAudio::kSampleRate,
                                    RecordingAudio::kBytesPerSecond, RecordingAudio::kBlockAlign,
                                    RecordingAudio::kBitsPerSample});
  }();
  return image;
}

// The process's one PlaySound, whose calls may hang. At exit only its idle thread is joined, never a hung call.
DeadlineWorker& Player() {
  static DeadlineWorker worker(SilenceLoop::kDeadline, 1);
  return worker;
}

constexpr uint32_t kPlaySoundOwner = 0;

// Runs a PlaySound call; false when it did not return in time or was not made, with a record saying so.
bool Play(LPCSTR sound, DWORD flags, BOOL* result) {
  auto returned = std::make_shared<std::atomic<BOOL>>(FALSE);
  const DeadlineWorker::Outcome outcome =
      Player().Run(kPlaySoundOwner, [sound, flags, returned] { returned->store(PlaySoundA(sound, nullptr, flags)); });
  if (outcome == DeadlineWorker::Outcome::kDone) {
    *result = returned->load();
    return true;
  }
  LOG_ERROR << (outcome == DeadlineWorker::Outcome::kTimedOut
                    ? "PlaySound did not return (its output device is gone?): left to finish on its own"
                    : "PlaySound skipped: an earlier call has not returned");
  return false;
}

}  // namespace

void SilenceLoop::Start() {
  if (playing_) return;
  BOOL played = FALSE;
  if (!Play(reinterpret_cast<LPCSTR>(SilenceImage().data()), SND_ASYNC | SND_MEMORY | SND_LOOP, &played)) return;
  playing_ = played != FALSE;
  if (!playing_) LOG_ERROR << "the silence loop does not play: system audio may pause when nothing plays";
}

void SilenceLoop::Stop() {
  if (!playing_) return;
  playing_ = false;
  BOOL stopped = FALSE;
  Play(nullptr, 0, &stopped);
}

}  // namespace VellRecorder
