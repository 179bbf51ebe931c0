#include "faults.h"

#include <map>
#include <mutex>
#include <sstream>

#include "duplicationstandin.h"

namespace VellRecorder::StandIn {
namespace {

// Every field is guarded by mutex: duplications are used from capture threads while a test changes faults.
struct State {
  std::mutex mutex;
  uint64_t generation = 0;
  int timeouts = 0;
  int delay_ms = 0;
  int refusals = 0;
  HRESULT refusal = E_ACCESSDENIED;
  bool loss_pending = false;
  int lose_after = 0;  // images still to deliver before the pending loss
  int pending_refusals = 0;
  HRESULT pending_refusal = E_ACCESSDENIED;
  Counts counts{};
  std::map<std::wstring, int> duplicated;  // live duplications by output device name
};

// Strict unless VELL_DUPLICATION_STRICT says "lenient"; read at each call, so that a test may switch it.
bool OnePerOutput() {
  wchar_t value[64] = {};
  if (GetEnvironmentVariableW(L"VELL_DUPLICATION_STRICT", value, 64) == 0) return true;
  return std::wstring(value).find(L"lenient") == std::wstring::npos;
}

State& S() {
  static State state;
  return state;
}

void LoseAccessLocked(State& s, int refusals, HRESULT refusal) {
  ++s.generation;
  s.refusals = refusals;
  s.refusal = refusal;
}

}  // namespace

void TimeOutAcquisitions(int count) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().timeouts = count;
}

void SlowAcquisitions(int ms) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().delay_ms = ms;
}

void LoseAccess(int refusals, HRESULT refusal) {
  std::lock_guard<std::mutex> lock(S().mutex);
  LoseAccessLocked(S(), refusals, refusal);
}

void LoseAccessAfter(int acquisitions, int refusals, HRESULT refusal) {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (acquisitions <= 0) {
    LoseAccessLocked(S(), refusals, refusal);
    return;
  }
  S().loss_pending = true;
  S().lose_after = acquisitions;
  S().pending_refusals = refusals;
  S().pending_refusal = refusal;
}

void ClearFaults() {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().timeouts = 0;
  S().delay_ms = 0;
  S().refusals = 0;
  S().loss_pending = false;
}

bool ApplyFaults(const std::string& text) {
  int timeouts = 0;
  int delay_ms = 0;
  int lose_after = -1;
  int refusals = 0;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const size_t equals = item.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = item.substr(0, equals);
    const std::string value = item.substr(equals + 1);
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 9) {
      return false;
    }
    const int number = std::stoi(value);
    if (key == "timeouts") {
      timeouts = number;
    } else if (key == "lose-after") {
      lose_after = number;
    } else if (key == "refusals") {
      refusals = number;
    } else if (key == "slow-ms") {
      delay_ms = number;
    } else {
      return false;
    }
  }
  ClearFaults();
  TimeOutAcquisitions(timeouts);
  SlowAcquisitions(delay_ms);
  if (lose_after >= 0) LoseAccessAfter(lose_after, refusals);
  return true;
}

Counts GetCounts() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().counts;
}

namespace Faults {

uint64_t Generation() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().generation;
}

bool TakeTimeout() {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (S().timeouts <= 0) return false;
  --S().timeouts;
  return true;
}

int AcquisitionDelayMs() {
  std::lock_guard<std::mutex> lock(S().mutex);
  return S().delay_ms;
}

HRESULT TakeRefusal() {
  std::lock_guard<std::mutex> lock(S().mutex);
  ++S().counts.duplicate_calls;
  if (S().refusals <= 0) return S_OK;
  --S().refusals;
  return S().refusal;
}

void BeforeAcquisition() {
  std::lock_guard<std::mutex> lock(S().mutex);
  if (S().loss_pending && S().lose_after == 0) {
    S().loss_pending = false;
    LoseAccessLocked(S(), S().pending_refusals, S().pending_refusal);
  }
}

void ImageDelivered() {
  std::lock_guard<std::mutex> lock(S().mutex);
  ++S().counts.images;
  if (S().loss_pending && S().lose_after > 0) --S().lose_after;
}

bool ClaimOutput(const std::wstring& device_name) {
  const bool one_per_output = OnePerOutput();
  std::lock_guard<std::mutex> lock(S().mutex);
  int& live = S().duplicated[device_name];
  if (live > 0 && one_per_output) return false;
  ++live;
  return true;
}

void ReleaseOutput(const std::wstring& device_name) {
  std::lock_guard<std::mutex> lock(S().mutex);
  const auto found = S().duplicated.find(device_name);
  if (found != S().duplicated.end() && --found->second <= 0) S().duplicated.erase(found);
}

namespace {

void AddToCount(long Counts::*count, long change) {
  std::lock_guard<std::mutex> lock(S().mutex);
  S().counts.*count += change;
}

}  // namespace

void DuplicationCreated() { AddToCount(&Counts::live_duplications, 1); }
void DuplicationDestroyed() { AddToCount(&Counts::live_duplications, -1); }
void TextureCreated() { AddToCount(&Counts::live_textures, 1); }
void TextureDestroyed() { AddToCount(&Counts::live_textures, -1); }

}  // namespace Faults
}  // namespace VellRecorder::StandIn
