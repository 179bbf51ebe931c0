// vell-avsync-stimulus SECONDS [PERIOD_MS [ENDPOINT]]: flashes the whole screen white and beeps at the same
// instants, every PERIOD_MS (default 2005), for SECONDS, so that a recording of the screen and of the sound shows
// how far its two time lines are apart. Both come from one clock: the sound plays as one continuous waveOut
// stream with a beep written at each period, and the flash is painted when the device's play position reaches
// the beep's first sample. Prints, per flash, how late it was painted after that position was reported, and, by
// listening to the capture endpoint ENDPOINT (default "Monitor of Null Output"; "-" for none), how long after
// its flash each beep reached it: the stimulus's own latency, part of any recording's A/V offset.
// The default period is not a whole number of frames at 30 or 60 fps: a flash falls at a different place between
// two frames each time, so its lateness to the frame that shows it averages out instead of wandering slowly.
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "avsync_listener.h"
#include "utils/clock.h"

namespace {

constexpr DWORD kRate = 48000;
constexpr int kBeepMs = 100;
constexpr int kFlashMs = 300;
constexpr size_t kBuffers = 3;

COLORREF g_colour = RGB(0, 0, 0);

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    HBRUSH brush = CreateSolidBrush(g_colour);
    RECT rect;
    GetClientRect(window, &rect);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
    EndPaint(window, &paint);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND CreateFullScreenWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VellAvSyncStimulus";
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"vell-avsync-stimulus", WS_POPUP | WS_VISIBLE, 0, 0,
                                GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                                wc.hInstance, nullptr);
  if (window) {
    UpdateWindow(window);
  }
  return window;
}

void Paint(HWND window, COLORREF colour) {
  g_colour = colour;
  InvalidateRect(window, nullptr, FALSE);
  UpdateWindow(window);
  GdiFlush();
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// One period of sound: silence with a 1 kHz beep at lead_samples.
std::vector<int16_t> OnePeriod(size_t period_samples, size_t lead_samples) {
  std::vector<int16_t> pcm(period_samples, 0);
  const size_t beep = kRate * kBeepMs / 1000;
  for (size_t i = 0; i < beep && lead_samples + i < pcm.size(); ++i) {
    pcm[lead_samples + i] = static_cast<int16_t>(16000.0 * std::sin(2.0 * 3.14159265358979 * 1000.0 * i / kRate));
  }
  return pcm;
}

int64_t Qpc100ns() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return VellRecorder::Rescale(now.QuadPart, frequency.QuadPart, 10000000);
}

// Each beep heard by the listener belongs to the flash nearest to it, within a second.
struct Latencies {
  std::vector<int64_t> flashes;  // QPC, 100-ns units
  double sum_ms = 0, min_ms = 1e9, max_ms = -1e9;
  int count = 0;

  void Heard(const std::vector<int64_t>& onsets) {
    // Beeps are matched once the sound has been heard to its end (see AvSyncListener).
    for (int64_t onset : onsets) {
      size_t best = flashes.size();
      for (size_t i = 0; i < flashes.size(); ++i) {
        if (best == flashes.size() || std::llabs(onset - flashes[i]) < std::llabs(onset - flashes[best])) best = i;
      }
      if (best == flashes.size() || std::llabs(onset - flashes[best]) > 10000000) continue;
      const double ms = (onset - flashes[best]) / 10000.0;
      std::printf("beep %zu heard %.1f ms after its flash\n", best, ms);
      std::fflush(stdout);
      sum_ms += ms;
      min_ms = ms < min_ms ? ms : min_ms;
      max_ms = ms > max_ms ? ms : max_ms;
      ++count;
    }
  }
};

uint64_t PlayedSamples(HWAVEOUT out) {
  MMTIME time{};
  time.wType = TIME_SAMPLES;
  if (waveOutGetPosition(out, &time, sizeof(time)) != MMSYSERR_NOERROR || time.wType != TIME_SAMPLES) {
    return 0;
  }
  return time.u.sample;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vell-avsync-stimulus SECONDS [PERIOD_MS]\n");
    return 2;
  }
  const int seconds = std::atoi(argv[1]);
  const int period_ms = argc > 2 ? std::atoi(argv[2]) : 2005;
  const std::string endpoint = argc > 3 ? argv[3] : "Monitor of Null Output";
  if (seconds <= 0 || period_ms < 2 * kFlashMs) {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }
  // Under Wine a window is now and then refused, without an error code, while the previous scenario's programs
  // are still going away: a few more tries.
  HWND window = nullptr;
  for (int attempt = 0; attempt < 20 && !window; ++attempt) {
    if (attempt > 0) Sleep(250);
    window = CreateFullScreenWindow();
  }
  if (!window) {
    std::fprintf(stderr, "no window: %lu\n", GetLastError());
    return 1;
  }
  PumpMessages();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  VellRecorder::AvSyncListener listener;
  const bool listening = endpoint != "-" && listener.Open(std::wstring(endpoint.begin(), endpoint.end()));
  Latencies latencies;

  WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kRate, kRate * 2, 2, 16, 0};
  HWAVEOUT out = nullptr;
  if (waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
    std::fprintf(stderr, "no sound output\n");
    return 1;
  }
  const size_t period_samples = static_cast<size_t>(kRate) * period_ms / 1000;
  // The beep sits half a period into each buffer, and the first buffer is silent: the first flash comes a period
  // and a half after "ready". Early in a stream the position Wine reports runs ahead of what the sound server
  // plays: a flash painted then comes 300-580 ms before the monitor hears its beep (the listener, still starting,
  // hears none of it), while a period later the two are tens of milliseconds apart.
  const size_t lead_samples = period_samples / 2;
  const std::vector<int16_t> beeping = OnePeriod(period_samples, lead_samples);
  std::vector<std::vector<int16_t>> pcm(kBuffers, beeping);
  std::fill(pcm[0].begin(), pcm[0].end(), int16_t{0});
  bool silent_lead = true;
  std::vector<WAVEHDR> headers(kBuffers);
  for (size_t i = 0; i < kBuffers; ++i) {
    headers[i].lpData = reinterpret_cast<LPSTR>(pcm[i].data());
    headers[i].dwBufferLength = static_cast<DWORD>(period_samples * 2);
    waveOutPrepareHeader(out, &headers[i], sizeof(WAVEHDR));
    waveOutWrite(out, &headers[i], sizeof(WAVEHDR));
  }
  std::printf("ready: the first flash comes in %d ms, then one every %d ms\n", period_ms + period_ms / 2, period_ms);
  std::fflush(stdout);
  timeBeginPeriod(1);
  const uint64_t periods = static_cast<uint64_t>(seconds) * 1000 / period_ms;
  uint64_t next = 0;  // index of the next flash
  uint64_t dark_at = UINT64_MAX;
  double late_sum_ms = 0, late_max_ms = 0;
  while (next < periods || dark_at != UINT64_MAX) {
    for (auto& header : headers) {
      if (header.dwFlags & WHDR_DONE) {
        header.dwFlags &= ~WHDR_DONE;
        if (silent_lead && &header == &headers[0]) {
          std::copy(beeping.begin(), beeping.end(), pcm[0].begin());
          silent_lead = false;
        }
        waveOutWrite(out, &header, sizeof(WAVEHDR));
      }
    }
    const uint64_t played = PlayedSamples(out);
    const uint64_t beep = (next + 1) * period_samples + lead_samples;
    if (next < periods && played >= beep) {
      Paint(window, RGB(255, 255, 255));
      latencies.flashes.push_back(Qpc100ns());
      const double late_ms = (PlayedSamples(out) - beep) * 1000.0 / kRate;
      late_sum_ms += late_ms;
      late_max_ms = late_ms > late_max_ms ? late_ms : late_max_ms;
      // Its time on the performance counter pairs it with its frame in a recording even where the sound
      // underran and the period stretched.
      std::printf("flash %llu painted %.1f ms after its beep's position, at %.1f ms\n",
                  static_cast<unsigned long long>(next), late_ms, latencies.flashes.back() / 10000.0);
      std::fflush(stdout);
      dark_at = beep + kRate * kFlashMs / 1000;
      ++next;
    } else if (dark_at != UINT64_MAX && played >= dark_at) {
      Paint(window, RGB(0, 0, 0));
      dark_at = UINT64_MAX;
    }
    listener.Poll();
    PumpMessages();
    Sleep(1);
  }
  // The last beep is still on its way to the listener.
  for (int i = 0; i < 100; ++i) {
    listener.Poll();
    Sleep(10);
  }
  latencies.Heard(listener.Onsets());
  timeEndPeriod(1);
  waveOutReset(out);
  for (auto& header : headers) {
    waveOutUnprepareHeader(out, &header, sizeof(WAVEHDR));
  }
  waveOutClose(out);
  DestroyWindow(window);
  std::printf("%llu flashes, painted on average %.1f ms (at most %.1f ms) after the position\n",
              static_cast<unsigned long long>(periods), periods ? late_sum_ms / periods : 0.0, late_max_ms);
  if (!listening) {
    std::printf("not listening: the endpoint \"%s\" could not be opened\n", endpoint.c_str());
  } else if (latencies.count) {
    double median_ms = 0, max_ms = 0;
    listener.PacketLateness(&median_ms, &max_ms);
    std::printf("listener: its packets came %.1f ms (median), at most %.1f ms, after the times their stream "
                "gives them\n", median_ms, max_ms);
    std::printf("stimulus latency: %d beeps heard on average %.1f ms (%.1f..%.1f ms) after their flashes\n",
                latencies.count, latencies.sum_ms / latencies.count, latencies.min_ms, latencies.max_ms);
  } else {
    std::printf("stimulus latency: no beep heard\n");
  }
  CoUninitialize();
  return 0;
}
