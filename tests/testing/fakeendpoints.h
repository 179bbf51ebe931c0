// Stand-in audio endpoints for Windows tests: while a FakeEndpoints lives, CoCreateInstance of the
// MMDeviceEnumerator in the test's own process gives an enumerator of these endpoints only. Each delivers 10 ms
// packets of 48 kHz stereo 16-bit PCM as real time gives them, stamped with their capture times, and can behave
// as broken drivers and vanishing devices do, which Wine's endpoints cannot be made to.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace VellRecorder::Testing {

struct FakeEndpoint {
  std::wstring id;
  std::wstring name;
  bool render = false;              // a render endpoint, captured in loopback
  bool unreadable = false;          // its property store cannot be opened
  bool empty_packets = false;       // announces packets and hands each out with no frames
  bool endless = false;             // always has another packet ready
  std::atomic<bool> gone{false};    // not listed; every call on its objects fails as invalidated
  std::atomic<int> streams{0};      // streams started on it
  std::atomic<uint64_t> frames{0};  // frames handed out
};

// Threading: endpoints are added and the default changed on the test's thread; the COM objects may be used from
// any thread.
class FakeEndpoints {
 public:
  FakeEndpoints();  // registers the enumerator's class object in this process
  ~FakeEndpoints();
  FakeEndpoints(const FakeEndpoints&) = delete;
  FakeEndpoints& operator=(const FakeEndpoints&) = delete;

  // Listed in the order added; the first render endpoint is the default output until SetDefaultRender.
  std::shared_ptr<FakeEndpoint> Add(const std::wstring& id, const std::wstring& name, bool render = false);
  void SetDefaultRender(const std::wstring& id);

  struct State {
    std::mutex mutex;
    std::vector<std::shared_ptr<FakeEndpoint>> endpoints;
    std::wstring default_render;
  };

 private:
  std::shared_ptr<State> state_;
  DWORD cookie_ = 0;
};

}  // namespace VellRecorder::Testing
