// A shared library loaded into the process (LoadLibrary / GetProcAddress / FreeLibrary on
// Windows): the one place the common layer's dynamic loading goes through.
#pragma once

#include <string>
#include <utility>

namespace nx::sys {

class LoadedModule {
public:
    LoadedModule() = default;
    ~LoadedModule() { Close(); }
    LoadedModule(LoadedModule&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    LoadedModule& operator=(LoadedModule&& other) noexcept {
        if (this != &other) {
            Close();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // Loads the library at `path` (a bare file name is looked up where the system looks),
    // resolving every symbol now and keeping them out of the global namespace; an unloaded
    // module when it cannot be loaded.
    static LoadedModule Open(const std::string& path);

    // The address of an exported symbol, null when the module lacks it or is not loaded.
    void* Symbol(const char* name) const;

    explicit operator bool() const { return m_handle != nullptr; }
    void Close();

private:
    void* m_handle = nullptr;
};

}  // namespace nx::sys
