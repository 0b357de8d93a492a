// The model check's reader: one change read of a store as the agent's read flow makes it, through
// the library's C ABI: snapshot, GetChangeLog, one delivery per entry of the change list in its
// order, CommitChangeLog once every entry reached the host. Each step is announced on standard
// output before (or, for a delivery, as) it is taken, one line each written at once, so what the
// host received is what the output holds even after a SIGKILL:
//   "G"            GetChangeLog is called
//   "N id time"    a new item delivered      "C id time"  a changed one     "D id"  a deletion notice
//   "F"            the host's callback failed: nothing more is delivered, nothing committed (exit 1)
//   "K"            CommitChangeLog is called
//   "E"            the read is complete (exit 0)
//   journal_model_reader STORE ANCHOR FAIL_AFTER STOP_AT
// STORE: one item a line, "id time" (an id may repeat: the same item reached twice). FAIL_AFTER:
// the callback fails after that many deliveries (-1: never). STOP_AT: after that many lines the
// reader waits to be killed (-1: never).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "journal/LogItemArray.h"

namespace {

long g_lines = 0;
long g_stopAt = -1;

void Say(const std::string& text) {
    const std::string line = text + "\n";
    if (::write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(3);
    // Killed by the test from here on: the time it takes to see the line is the wait's bound.
    if (++g_lines == g_stopAt)
        for (;;) ::sleep(60);
}

std::string Ascii(std::u16string_view id) {
    return std::string(id.begin(), id.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const long failAfter = std::strtol(argv[3], nullptr, 10);
    g_stopAt = std::strtol(argv[4], nullptr, 10);
    const std::string anchorText = argv[2];
    const std::u16string anchor(anchorText.begin(), anchorText.end());
    const tagChangeRequest request{u"contact", u"pim", anchor.c_str()};

    CLogItemArray snapshot;
    std::ifstream store(argv[1]);
    std::string id;
    double time = 0;
    while (store >> id >> time) snapshot.Add(std::u16string(id.begin(), id.end()), time, NX_LOG_TIME_VALID);

    Say("G");
    const int32_t size = GetChangeLog(snapshot.get(), &request);
    if (size > 0) {
        for (int64_t i = 0; i < snapshot.GetSize(); ++i) {
            if (i == failAfter) {
                Say("F");
                return 1;
            }
            const tagLogItem& item = snapshot[i];
            std::ostringstream line;
            line.precision(17);
            if (item.lFlags == NX_LOG_DELETED) {
                line << "D " << Ascii(snapshot.IdAt(i));
            } else {
                line << (item.lFlags == NX_LOG_NEW ? "N " : "C ") << Ascii(snapshot.IdAt(i)) << " "
                     << item.dtModified;
            }
            Say(line.str());
        }
        Say("K");
        if (CommitChangeLog(&request) != 1) return 4;
    }
    Say("E");
    return 0;
}
