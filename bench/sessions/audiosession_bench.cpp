// Cost of the audio session (scripts/bench-audio.sh plays a tone into the null sink and reads the parts):
//   audiosession_bench.exe OUTPUT_FOLDER [seconds] [sessions] [stage seconds]
// Records for `seconds` with one session on the capture endpoint "Monitor of Null Output", or, with
// `sessions` 2, with a second session at the same time on the endpoint "PulseAudio" (Wine offers no system audio,
// so two sources cannot be mixed in one session here: two sessions of one source each bound that cost from above,
// with an encoder each). Session n writes into OUTPUT_FOLDER\n. Prints this process's CPU time over the recording
// and its peak working set before the start and after the stop. With one session, also its CPU time per second of
// the sound it encoded, and then, for `stage seconds` (default 0: not run), each of its stages alone on the same
// endpoint's sound (audiostages.h) beside it.
#include <windows.h>
#include <mfapi.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audiostages.h"
#include "muxers/hlssink.h"
#include "sessions/audiorecordingsession.h"
#include "utils/clock.h"
#include "utils/textconv.h"

using namespace VellRecorder;

namespace {

double PeakWorkingSetMb() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
    return -1;
  }
  return counters.PeakWorkingSetSize / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: audiosession_bench OUTPUT_FOLDER [seconds] [sessions] [stage seconds]\n");
    return 2;
  }
  const std::string folder = argv[1];
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
  const int count = argc > 3 ? std::atoi(argv[3]) : 1;
  const int stage_seconds = argc > 4 ? std::atoi(argv[4]) : 0;
  if (seconds <= 0 || count < 1 || count > 2 || stage_seconds < 0) {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  MFStartup(MF_VERSION, MFSTARTUP_FULL);
  const wchar_t* endpoints[] = {L"Monitor of Null Output", L"PulseAudio"};
  std::vector<std::unique_ptr<HLSSink>> sinks;
  std::vector<std::unique_ptr<AudioRecordingSession>> sessions;
  for (int i = 0; i < count; ++i) {
    std::wstring out(folder.begin(), folder.end());
    out += L"\\" + std::to_wstring(i);
    sinks.push_back(std::make_unique<HLSSink>(out, [](std::wstring) {}));
    sessions.push_back(std::make_unique<AudioRecordingSession>(sinks.back().get()));
    sessions.back()->SetMicrophoneSource(endpoints[i]);
  }
  const double peak_before = PeakWorkingSetMb();
  const double cpu_before = ProcessCpuSeconds();
  const auto wall_before = std::chrono::steady_clock::now();
  const int64_t start_ns = MonotonicNowNs();
  for (auto& session : sessions) {
    session->Start(start_ns);
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  for (auto& session : sessions) {
    session->Stop();
  }
  for (auto& sink : sinks) {
    sink->Finish();
  }
  const double cpu = ProcessCpuSeconds() - cpu_before;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
  std::printf("%d session(s) of one source for %.1f s: %.3f CPU s in this process; peak working set %.1f MB "
              "before the start, %.1f MB after the stop\n",
              count, wall, cpu, peak_before, PeakWorkingSetMb());
  // How far the endpoint's packet times made the session move its sound (bytes of the endpoint's format).
  for (int i = 0; i < count; ++i) {
    std::printf("session %d: %llu bytes of silence for lost sound, %llu bytes dropped ahead of their time\n", i,
                static_cast<unsigned long long>(sessions[i]->BytesFilledForLostSound()),
                static_cast<unsigned long long>(sessions[i]->BytesDroppedAheadOfTime()));
  }
  // AAC frames of 1024 samples at 48 kHz: the sound the session encoded.
  const double sound_s = static_cast<double>(sessions[0]->FramesMuxed()) * 1024 / 48000;
  sessions.clear();
  sinks.clear();
  if (count == 1 && sound_s > 0) {
    const double session_ms = cpu * 1000 / sound_s;
    std::printf("session: %.2f CPU ms per second of sound (%.1f s encoded)\n", session_ms, sound_s);
    if (stage_seconds > 0) {
      const AudioStageSums sums = RunAudioStagesAlone(endpoints[0], stage_seconds, ToWide(folder) + L"-stages");
      if (sums.stages > 0) {
        std::printf("session / sum of the stages alone: %.2f; / that sum with muxing and the silence loop: %.2f\n",
                    session_ms / sums.stages, session_ms / sums.with_rest);
      }
    }
  }
  MFShutdown();
  CoUninitialize();
  return 0;
}
