#include "platform/system/Module.h"

#include <dlfcn.h>

namespace nx::sys {

LoadedModule LoadedModule::Open(const std::string& path) {
    LoadedModule module;
    module.m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return module;
}

void* LoadedModule::Symbol(const char* name) const {
    return m_handle != nullptr && name != nullptr ? ::dlsym(m_handle, name) : nullptr;
}

void LoadedModule::Close() {
    if (m_handle != nullptr) ::dlclose(m_handle);
    m_handle = nullptr;
}

}  // namespace nx::sys
