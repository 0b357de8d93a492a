// Replays a libFuzzer corpus through LLVMFuzzerTestOneInput without libFuzzer, so that the
// saved inputs run as regression tests in every build (also with gcc and the sanitizers).
// Arguments: files or folders; a folder is walked recursively.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int RunFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());  // exact size: ASan sees overreads
    LLVMFuzzerTestOneInput(copy.data(), copy.size());
    return 1;
}
}  // namespace

int main(int argc, char** argv) {
    int runs = 0;
    LLVMFuzzerTestOneInput(nullptr, 0);
    ++runs;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(arg))
                if (e.is_regular_file()) runs += RunFile(e.path());
        } else if (std::filesystem::is_regular_file(arg)) {
            runs += RunFile(arg);
        } else {
            std::fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 2;
        }
    }
    std::printf("replayed %d inputs\n", runs);
    return 0;
}
