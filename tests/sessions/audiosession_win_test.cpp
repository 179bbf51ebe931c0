// The audio session under Wine with real endpoints: the microphone is PulseAudio's "Monitor of Null Output",
// which hears the 440 Hz tone the test fixture plays into the null sink; the AAC encoder is the test stand-in.
// Recordings go into a real HLSSink and are left in VELL_AUDIOSESSION_DUMP_DIR, one folder each with a
// recording.txt, for check_audiosession_parts.sh (the host's ffmpeg decodes them and looks for the tone).
#include <windows.h>
#include <wmcodecdsp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "media_transforms/mftestsupport.h"
#include "muxers/hlssink.h"
#include "sessions/audiorecordingsession.h"
#include "sessions/sessionrecording.h"
#include "testing/fakeendpoints.h"
#include "testing/logcapture.h"
#include "testing/watchdog.h"
#include "utils/clock.h"

namespace VellRecorder {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Testing::kHangLimit;
using Testing::WithinOrDie;

const wchar_t kMonitor[] = L"Monitor of Null Output";

fs::path DumpRoot() { return Testing::DumpRoot("VELL_AUDIOSESSION_DUMP_DIR", "vell-audiosession"); }

// The check reads every recording it finds: none may be left from an earlier run.
[[maybe_unused]] const bool kDumpRootCleared = (fs::remove_all(DumpRoot()), true);

void Sleep(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// Polls the session's frame count until it reaches `count`; the first packet of a Wine endpoint may come
// seconds after the stream starts on a busy machine.
bool WaitForFrames(const AudioRecordingSession& session, uint64_t count, milliseconds limit = milliseconds(15000)) {
  for (auto waited = milliseconds(0); waited < limit; waited += milliseconds(50)) {
    if (session.FramesMuxed() >= count) return true;
    Sleep(50);
  }
  return session.FramesMuxed() >= count;
}

// One recording into a folder of its own under DumpRoot(), with the times the check needs.
class Recording : public Testing::SessionRecording<AudioRecordingSession> {
 public:
  explicit Recording(const std::string& name) : SessionRecording(DumpRoot() / name) {}

  // Stops, checks that nothing is muxed afterwards, closes the part and writes recording.txt.
  void Finish() {
    StopSession();
    const uint64_t frames = Session().FramesMuxed();
    Sleep(200);
    EXPECT_EQ(Session().FramesMuxed(), frames) << "frames were muxed after Stop returned";
    CloseSink();
    uint64_t discontinuities = 0;
    for (const auto& source : Session().GetSourceFigures()) discontinuities += source.discontinuities;
    WriteInfo("frames=" + std::to_string(frames) + "\ndiscontinuities=" + std::to_string(discontinuities) + "\n");
  }
};

TEST(AudioRecordingSessionTest, RecordsTheToneFromTheMicrophone) {
  Testing::LogCapture log;
  Recording recording("microphone");
  recording.Session().SetMicrophoneSource(kMonitor);
  const auto figures = recording.Session().GetSourceFigures();
  ASSERT_EQ(figures.size(), 1u);
  EXPECT_EQ(figures[0].flow, 1);
  EXPECT_EQ(figures[0].name, kMonitor);
  EXPECT_TRUE(figures[0].recorded) << "the monitor endpoint did not open:\n" << log.Text();
  recording.Start();
  ASSERT_TRUE(recording.Session().IsRecording());
  ASSERT_TRUE(WaitForFrames(recording.Session(), 1)) << "no AAC frame at all";
  Sleep(6000);
  recording.Finish();
  // Six seconds are 281 frames; the first packet may take two seconds to come.
  EXPECT_GE(recording.Session().FramesMuxed(), 150u);
  EXPECT_EQ(recording.Session().BytesRefusedByResampler(), 0u);
  EXPECT_EQ(recording.Session().BytesRefusedByEncoder(), 0u);
}

// A pause delivers nothing; the resumed sound follows without the paused time (checked on the parts); a Stop
// while paused wakes the parked thread and returns.
TEST(AudioRecordingSessionTest, PauseDeliversNothingAndStopWhilePausedReturns) {
  Recording recording("paused");
  recording.Session().SetMicrophoneSource(kMonitor);
  recording.Start();
  ASSERT_TRUE(WaitForFrames(recording.Session(), 50)) << "too few frames to start with";
  // A quick pause and resume, as a host may send them; the next pause must still hold.
  recording.Pause();
  recording.Resume();
  Sleep(1000);
  recording.Pause();
  Sleep(300);  // the thread's last turn before it parks
  const uint64_t at_pause = recording.Session().FramesMuxed();
  Sleep(1500);
  EXPECT_EQ(recording.Session().FramesMuxed(), at_pause) << "frames were muxed while paused";
  recording.Resume();
  EXPECT_TRUE(WaitForFrames(recording.Session(), at_pause + 50)) << "nothing was muxed after Resume";
  recording.Pause();
  Sleep(1000);
  recording.Finish();
}

// Under Wine loopback capture has no capture client: the system audio is left out with an error record naming
// it, and the microphone is recorded alone.
TEST(AudioRecordingSessionTest, SystemAudioThatCannotBeCapturedLeavesTheMicrophone) {
  Testing::LogCapture log;
  Recording recording("loopback-and-microphone");
  recording.Session().SetSystemAudioSource();
  recording.Session().SetMicrophoneSource(kMonitor);
  // AUDCLNT_E_WRONG_ENDPOINT_TYPE from the capture client of a loopback stream.
  EXPECT_TRUE(log.Contains("system audio cannot be recorded") && log.Contains("(0x88890003)")) << log.Text();
  const auto figures = recording.Session().GetSourceFigures();
  ASSERT_EQ(figures.size(), 2u);
  EXPECT_EQ(figures[0].flow, 0);
  EXPECT_FALSE(figures[0].recorded);
  EXPECT_TRUE(figures[1].recorded);
  recording.Start();
  EXPECT_TRUE(WaitForFrames(recording.Session(), 50)) << "the microphone was not recorded";
  Sleep(2000);
  recording.Finish();
}

// Registered in the process for the AAC encoder's class: every creation is refused, as on a system without
// the encoder. Takes precedence over the stand-in registered in the prefix while it is registered.
class RefusingFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static lifetime
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** out) override {
    *out = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

// No source that opens (none by that name, or no resampler for it), or no encoder: no thread runs, the record says
// why, and pause, resume and Stop return.
TEST(AudioRecordingSessionTest, NothingToRecordWithItsReason) {
  const struct {
    const wchar_t* microphone;
    const CLSID* refused;  // a transform that cannot be built
    const char* record;
  } cases[] = {{L"No Such Microphone", nullptr, "no audio source could be opened: the recording has no sound"},
               {kMonitor, &CLSID_CResamplerMediaObject, "cannot be resampled and is left out of the recording"},
               {kMonitor, &__uuidof(AACMFTEncoder), "no AAC encoder: the recording has no sound"}};
  static RefusingFactory factory;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.record);
    DWORD cookie = 0;
    if (c.refused != nullptr) {
      ASSERT_EQ(CoRegisterClassObject(*c.refused, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
    }
    Testing::LogCapture log;
    HLSSink sink((fs::temp_directory_path() / "vell-audiosession-nothing").wstring(), [](std::wstring) {});
    AudioRecordingSession session(&sink);
    session.SetMicrophoneSource(c.microphone);
    session.Start(MonotonicNowNs());
    if (c.refused != nullptr) CoRevokeClassObject(cookie);
    EXPECT_FALSE(session.IsRecording());
    EXPECT_TRUE(log.Contains(c.record)) << log.Text();
    session.Pause();
    session.Resume();
    WithinOrDie(kHangLimit, "AudioRecordingSession::Stop", [&session] { session.Stop(); });
    EXPECT_EQ(session.FramesMuxed(), 0u);
    // Named for the metrics all the same, as not recorded.
    const auto figures = session.GetSourceFigures();
    ASSERT_EQ(figures.size(), 1u);
    EXPECT_EQ(figures[0].name, c.microphone);
    EXPECT_FALSE(figures[0].recorded);
  }
}

// System audio follows the default output device when it changes (stand-in endpoints: Wine captures no
// loopback), within the second between two looks, and the sound goes on.
TEST(AudioRecordingSessionTest, SystemAudioFollowsTheDefaultOutputDevice) {
  Testing::FakeEndpoints endpoints;
  endpoints.Add(L"{speakers}", L"Speakers", true);
  const auto headphones = endpoints.Add(L"{headphones}", L"Headphones", true);
  Testing::LogCapture log;
  HLSSink sink((fs::temp_directory_path() / "vell-audiosession-default").wstring(), [](std::wstring) {});
  AudioRecordingSession session(&sink);
  session.SetSystemAudioSource();
  session.Start(MonotonicNowNs());
  ASSERT_TRUE(WaitForFrames(session, 20)) << log.Text();
  endpoints.SetDefaultRender(L"{headphones}");
  const uint64_t at_switch = session.FramesMuxed();
  for (int waited = 0; waited < 5000 && headphones->frames == 0; waited += 50) Sleep(50);
  EXPECT_EQ(headphones->streams, 1);
  EXPECT_GT(headphones->frames, 0u) << "the new default device was not recorded";
  EXPECT_TRUE(WaitForFrames(session, at_switch + 100, milliseconds(5000))) << "the sound stopped";
  WithinOrDie(kHangLimit, "AudioRecordingSession::Stop", [&session] { session.Stop(); });
  EXPECT_TRUE(log.Contains("system audio follows the default device to another endpoint")) << log.Text();
}

}  // namespace
}  // namespace VellRecorder
