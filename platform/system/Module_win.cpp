// A loaded module on Windows: LoadLibraryW / GetProcAddress / FreeLibrary. A symbol name "#n"
// (n decimal) asks for export ordinal n, the way a .def file writes ordinals.

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
    LPCSTR lookup = name;
    if (name[0] == '#') {
        unsigned ordinal = 0;
        const char* p = name + 1;
        for (; *p >= '0' && *p <= '9' && ordinal <= 0xFFFF; ++p) ordinal = ordinal * 10 + unsigned(*p - '0');
        // Ordinals are 16-bit; anything else after '#' names nothing.
        if (*p != '\0' || p == name + 1 || ordinal == 0 || ordinal > 0xFFFF) return nullptr;
        lookup = MAKEINTRESOURCEA(ordinal);
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(m_handle), lookup));
}

void LoadedModule::Close() {
    if (m_handle != nullptr) ::FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

}  // namespace nx::sys
