// Points entries of a module's import table at other functions.
#pragma once

#include <windows.h>

namespace VellRecorder::StandIn {

// Makes `image`'s calls of `module`!`function` (imported by name) go to `replacement`. False when `image` does
// not import it.
bool RedirectImport(HMODULE image, const char* module, const char* function, void* replacement);

}  // namespace VellRecorder::StandIn
