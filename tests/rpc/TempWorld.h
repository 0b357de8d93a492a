// A private pipe directory for one test: NX_PIPE_DIR points into a fresh temporary folder.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace nx::rpc::test {

class TempWorld {
public:
    TempWorld() {
        char tmpl[] = "/tmp/nx-rpc-test-XXXXXX";
        root = ::mkdtemp(tmpl);
        pipes = root + "/pipes";
        ::setenv("NX_PIPE_DIR", pipes.c_str(), 1);
    }
    ~TempWorld() {
        ::unsetenv("NX_PIPE_DIR");
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::string root;
    std::string pipes;
};

}  // namespace nx::rpc::test
