// Windows failure reporting: HRESULT traces, Win32 last-error records, and the one convention for
// handling a failed HRESULT (an "HRERROR: " record, the trace, then the HRESULT goes back to the caller).
#pragma once

#include <windows.h>

#include <string>
#include <system_error>

#include "utils/log.h"

namespace VellRecorder {

// Logs "<file>(<line>) : error 0x<hex>: <system text>" at debug severity when hr is a failure; returns hr.
HRESULT TraceHr(const char* file, int line, HRESULT hr);

// Logs "<message> : <GetLastError()>" at error severity.
void LogWinErr(const char* message);

// The standard system error category's text for an HRESULT (the "HRERROR: " record's text).
std::string HrText(HRESULT hr);
// The same followed by the code in hexadecimal, for records: many codes (WASAPI's) have no system text.
std::string HrTextWithCode(HRESULT hr);

// See VELL_TRACE_FAILURE.
HRESULT TraceFailure(const char* pretty_function, const char* file, int line, HRESULT hr);

}  // namespace VellRecorder

// The failure convention, written once (TraceFailure): an "HRERROR: " debug record under the calling
// function's name and line, then TraceHr. Evaluates to the HRESULT, for the caller to return.
#define VELL_TRACE_FAILURE(hr_value) ::VellRecorder::TraceFailure(VELL_PRETTY_FUNCTION, __FILE__, __LINE__, (hr_value))

// For long runs of API calls: return the HRESULT of the first call that fails, after recording it.
#define RETURN_IF_FAILED(expr)                                  \
  do {                                                          \
    const HRESULT vell_hr_ = (expr);                            \
    if (FAILED(vell_hr_)) return VELL_TRACE_FAILURE(vell_hr_);  \
  } while (0)
