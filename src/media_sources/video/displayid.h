// Display identifiers: a stable number derived from a display's device name (such as \\.\DISPLAY1), which the
// host application keeps and sends back to choose the display to record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace VellRecorder {

// Paul Hsieh's SuperFastHash: seeded with the length, 16-bit little-endian reads, tail bytes taken as signed
// characters, and the usual final avalanche. Zero for an empty input.
uint32_t SuperFastHash(const char* data, size_t length);

// The id of a display: SuperFastHash of the UTF-8 device name over as many bytes as the name has UTF-16
// units (all of it for the ASCII names Windows gives displays). Ids already handed out to the host
// application depend on that byte count, so it is kept; it never reaches past the converted text.
uint32_t DisplayIdOf(const std::wstring& device_name);

// The id as the host application sees it: decimal, no sign, no leading zeros.
std::wstring DisplayIdText(const std::wstring& device_name);

}  // namespace VellRecorder
