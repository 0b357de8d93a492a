// The kill test's writer: change read and commit of generation after generation of the test
// state, through the library's C ABI, announcing each step on standard output before taking it:
// "G g" (GetChangeLog of generation g), "C g" (CommitChangeLog), "D g" (g committed).
//   journal_kill_writer ITEMS FIRST COUNT      COUNT 0: until killed
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/journal/Snapshots.h"

namespace {

void Say(char step, uint32_t g) {
    const std::string line = std::string(1, step) + " " + std::to_string(g) + "\n";
    if (::write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const uint32_t items = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const uint32_t first = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const uint32_t count = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const tagChangeRequest request{u"contact", u"pim", u"kill-test"};
    for (uint32_t g = first; count == 0 || g < first + count; ++g) {
        CLogItemArray snapshot;
        nx::test::FillKillSnapshot(snapshot, items, g);
        Say('G', g);
        if (GetChangeLog(snapshot.get(), &request) <= 0) return 1;
        Say('C', g);
        if (CommitChangeLog(&request) != 1) return 1;
        Say('D', g);
    }
    return 0;
}
