#include "importredirect.h"

#include <cstring>

namespace VellRecorder::StandIn {
namespace {

template <typename T>
T* At(HMODULE image, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(image) + rva);
}

bool Write(ULONGLONG* entry, ULONGLONG value) {
  DWORD protection = 0;
  if (!VirtualProtect(entry, sizeof(*entry), PAGE_READWRITE, &protection)) return false;
  *entry = value;
  VirtualProtect(entry, sizeof(*entry), protection, &protection);
  return true;
}

}  // namespace

bool RedirectImport(HMODULE image, const char* module, const char* function, void* replacement) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = At<const IMAGE_NT_HEADERS64>(image, static_cast<DWORD>(dos->e_lfanew));
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return false;
  bool redirected = false;
  for (auto* import = At<IMAGE_IMPORT_DESCRIPTOR>(image, directory.VirtualAddress); import->Name != 0; ++import) {
    if (_stricmp(At<const char>(image, import->Name), module) != 0) continue;
    // The name table may be missing (bound images); the address table then still holds the names until bound.
    const DWORD names_rva = import->OriginalFirstThunk != 0 ? import->OriginalFirstThunk : import->FirstThunk;
    auto* names = At<IMAGE_THUNK_DATA64>(image, names_rva);
    auto* addresses = At<IMAGE_THUNK_DATA64>(image, import->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
      if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
      const auto* by_name = At<const IMAGE_IMPORT_BY_NAME>(image, static_cast<DWORD>(names->u1.AddressOfData));
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      redirected |= Write(&addresses->u1.Function, reinterpret_cast<ULONGLONG>(replacement));
    }
  }
  return redirected;
}

}  // namespace VellRecorder::StandIn
