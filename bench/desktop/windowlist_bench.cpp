// How long "get-windows" and "change-active-window" hold the control thread while one of the listed windows is
// frozen: windows of this process, each on a thread of its own (a frozen window of another process does not
// hold the caller under Wine). First the calls alone; then the whole channel over a pipe, with this process as
// the host asking for the windows with pictures every 2 s and for a permission every 100 ms, and a thread that
// stands for a recording queueing a part report every 100 ms: the longest a permission reply took, and the
// longest gap between two part reports arriving.
//   windowlist_bench.exe [windows] [rounds] [channel seconds]      (defaults: 50, 5, 10)
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/frozenwindow.h"
#include "ipcchannel.h"
#include "ipcmessageparser.h"
#include "utils/log.h"
#include "windowmanager.h"

using namespace VellRecorder;
using Testing::Freeze;
using Testing::FrozenWindow;
using Clock = std::chrono::steady_clock;

namespace {

// Longest and mean milliseconds of a call over the rounds, then each round's.
void Figures(const char* label, int rounds, const std::function<void()>& call) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    call();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  double total = 0;
  for (double ms : times) total += ms;
  std::printf("%-58s longest %7.1f ms, mean %7.1f ms (", label, *std::max_element(times.begin(), times.end()),
              total / rounds);
  for (double ms : times) std::printf(" %.0f", ms);
  std::printf(" )\n");
}

std::wstring Title(int i) { return L"Vell Bench Window " + std::to_wstring(i); }

// The i-th of a grid of small windows over the screen.
RECT Place(int i) {
  const int left = 20 + (i % 10) * 185;
  const int top = 20 + (i / 10 % 7) * 150;
  return RECT{left, top, left + 160, top + 120};
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The host's end of the pipe. Replies are read by polling, so that the host's writes never wait behind a read
// of the same synchronous handle.
class Host {
 public:
  explicit Host(const std::wstring& name)
      : pipe_(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16, 1 << 16, 0,
                               nullptr)) {}
  ~Host() { CloseHandle(pipe_); }
  bool Accept() { return ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED; }
  void Send(const std::string& message) {
    const std::string frame = EncodeFrame(message);
    DWORD written = 0;
    WriteFile(pipe_, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr);
  }
  // The type of every message that arrived, until the pipe breaks.
  void Read(const std::function<void(const std::string&)>& on_message) {
    std::string pending;
    for (;;) {
      DWORD available = 0;
      if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) return;
      if (available == 0) {
        Sleep(1);
        continue;
      }
      std::string bytes(available, '\0');
      DWORD read = 0;
      if (!ReadFile(pipe_, bytes.data(), available, &read, nullptr)) return;
      pending.append(bytes, 0, read);
      while (pending.size() >= 4) {
        uint32_t length = 0;
        for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(pending[i]);
        if (pending.size() < 4 + length) break;
        on_message(nlohmann::json::parse(pending.substr(4, length)).value("type", ""));
        pending.erase(0, 4 + length);
      }
    }
  }
  void Close() { DisconnectNamedPipe(pipe_); }

 private:
  HANDLE pipe_;
};

void ChannelFigures(const char* label, double seconds) {
  const std::wstring name = L"\\\\.\\pipe\\vell-windowlist-bench-" + std::to_wstring(GetCurrentProcessId());
  Host host(name);
  std::atomic<IPCChannel*> running{nullptr};
  std::thread daemon([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
      IPCChannel channel;
      if (channel.Connect(name, L"bench")) {
        running = &channel;
        channel.Run();
      }
      running = nullptr;
    }
    CoUninitialize();
  });
  if (!host.Accept()) std::printf("the channel did not connect\n");
  while (running == nullptr) Sleep(1);

  std::mutex mutex;  // guards asked, the figures below
  std::deque<Clock::time_point> asked;
  double longest_reply = 0;
  double longest_gap = 0;
  int lists = 0;
  Clock::time_point last_report = Clock::now();
  std::thread reader([&] {
    host.Read([&](const std::string& type) {
      const std::lock_guard<std::mutex> lock(mutex);
      if (type == "check-mic-permissions" && !asked.empty()) {
        longest_reply = std::max(longest_reply, MsSince(asked.front()));
        asked.pop_front();
      } else if (type == "hls-part-written") {
        longest_gap = std::max(longest_gap, MsSince(last_report));
        last_report = Clock::now();
      } else if (type == "windows-info") {
        ++lists;
      }
    });
  });
  // The channel lists its devices and displays before its first poll: measured from its first reply on.
  {
    const std::lock_guard<std::mutex> lock(mutex);
    asked.push_back(Clock::now());
  }
  host.Send(R"({"type":"check-mic-permissions"})");
  for (bool ready = false; !ready; Sleep(5)) {
    const std::lock_guard<std::mutex> lock(mutex);
    ready = asked.empty();
  }
  {
    const std::lock_guard<std::mutex> lock(mutex);
    longest_reply = 0;
    last_report = Clock::now();
  }
  std::atomic<bool> recording{true};
  std::thread parts([&] {
    while (recording) {
      running.load()->SendWSMessage(L"hls-part-written", {{"filePath", "part.ts"}});
      Sleep(100);
    }
  });
  const auto start = Clock::now();
  for (int tick = 0; MsSince(start) < seconds * 1000; ++tick) {
    if (tick % 20 == 0) host.Send(R"({"type":"get-windows","payload":{"takeScreenshots":true}})");
    {
      const std::lock_guard<std::mutex> lock(mutex);
      asked.push_back(Clock::now());
    }
    host.Send(R"({"type":"check-mic-permissions"})");
    Sleep(100);
  }
  Sleep(2000);  // the last replies
  recording = false;
  parts.join();
  host.Close();
  reader.join();
  daemon.join();
  const std::lock_guard<std::mutex> lock(mutex);
  std::printf("channel, %-49s %d lists; longest reply %6.1f ms, longest gap between part reports %6.1f ms\n",
              label, lists, longest_reply, longest_gap);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(2, std::atoi(argv[1])) : 50;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const double channel_seconds = argc > 3 ? std::atof(argv[3]) : 10;
  Log::Init(Log::Severity::kError);
  std::vector<std::unique_ptr<FrozenWindow>> windows;
  for (int i = 0; i < count; ++i) {
    windows.push_back(std::make_unique<FrozenWindow>(Title(i), Place(i), Freeze::kHangsWhenAsked));
  }
  // The last one stops taking messages altogether; one more hangs inside a print when it is listed.
  windows.push_back(std::make_unique<FrozenWindow>(L"Vell Bench Stopped", Place(count), Freeze::kStopsPumping));
  WindowManager manager;
  std::printf("%d windows of this process, each on its own thread; deadline per window %lld ms\n", count,
              static_cast<long long>(WindowManager::kWindowDeadline.count()));
  const int listed = static_cast<int>(manager.ListWindows(false).size());
  std::printf("listed windows: %d\n", listed);

  Figures("get-windows with pictures, none frozen", rounds, [&] { manager.ListWindows(true); });
  Figures("get-windows without pictures, none frozen", rounds, [&] { manager.ListWindows(false); });
  Figures("change-active-window, none frozen", rounds, [&] { manager.SetActiveWindow(Title(count / 2)); });

  windows.back()->Freeze();
  Figures("get-windows with pictures, one stopped pumping", rounds, [&] { manager.ListWindows(true); });
  Figures("change-active-window to the one stopped pumping", rounds,
          [&] { manager.SetActiveWindow(L"Vell Bench Stopped"); });
  windows.back()->Thaw();

  // Hangs inside the print: the first listing gives up on it at the deadline, later ones skip it at once.
  windows[0]->Freeze();
  Figures("get-windows with pictures, one hanging in its print (1st)", 1, [&] { manager.ListWindows(true); });
  Figures("get-windows with pictures, the same still hanging (later)", rounds, [&] { manager.ListWindows(true); });
  windows[0]->Thaw();

  ShowWindow(windows[1]->Handle(), SW_MINIMIZE);
  windows[1]->Freeze();
  Figures("change-active-window to one hanging in its restore", 1, [&] { manager.SetActiveWindow(Title(1)); });
  windows[1]->Thaw();

  ChannelFigures("none frozen:", channel_seconds);
  windows.back()->Freeze();
  ChannelFigures("one stopped pumping:", channel_seconds);
  windows.back()->Thaw();
  // Under Wine each window's thread takes about 2 s to end; nothing is left that needs its destructor.
  std::fflush(stdout);
  std::_Exit(0);
}
