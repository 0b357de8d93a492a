// A loaded module on Windows: LoadLibraryW / GetProcAddress / FreeLibrary. A symbol name "#n"
// asks for export ordinal n (ExportName.h says which texts are ordinals).

#include "platform/system/ExportName.h"
#include "platform/system/Module.h"
#include "platform/system/Win.h"

namespace nx::sys {

LoadedModule LoadedModule::Open(const std::string& path) {
    LoadedModule module;
    module.m_handle = ::LoadLibraryW(win::Wide(path).c_str());
    return module;
}

void* LoadedModule::Symbol(const char* name) const {
    if (m_handle == nullptr || name == nullptr) return nullptr;
    const ExportName parsed = ParseExportName(name);
    if (parsed.kind == ExportName::kInvalid) return nullptr;
    const LPCSTR lookup = parsed.kind == ExportName::kOrdinal ? MAKEINTRESOURCEA(parsed.ordinal) : name;
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_handle), lookup));
}

void LoadedModule::Close() {
    if (m_handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

}  // namespace nx::sys
