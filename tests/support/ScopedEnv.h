// Environment changes of this test process that last as long as the object: each variable gets
// its earlier value (or its absence) back on destruction, so one test's settings never leak into
// the next test of the same process.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nx::test {

class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const std::string& name, const std::optional<std::string>& value) { Set(name, value); }
    ~ScopedEnv() {
        // Newest first, so a variable changed twice ends as it was before the first change.
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) Apply(it->first, it->second);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    // Sets the variable (nullopt: removes it) until this object ends.
    ScopedEnv& Set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = getenv(name.c_str());
        m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        Apply(name, value);
        return *this;
    }
    ScopedEnv& Unset(const std::string& name) { return Set(name, std::nullopt); }

private:
    static void Apply(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
        // The C runtime's copy and the process environment (which children inherit) both change;
        // an empty value removes the variable there, so an empty value cannot be set.
        _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
#endif
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

}  // namespace nx::test
