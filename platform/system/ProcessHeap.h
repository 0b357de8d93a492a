// The process heap's growth and return to the system, set once at the start of a process.
//
// A read allocates and frees row sets, values and documents by the thousand, and each read (and
// each callback) lifts the heap to about the same height and lets it fall again. The C library's
// defaults hand every free top of the heap above 128 KB back to the system and take it back in
// 128 KB steps: a 10,000-contact read then spends a third of its CPU in the kernel growing and
// trimming the heap (system calls and page faults of pages just given back), and a read after
// another pays again for what the one before gave back. KeepHeapBetweenCalls lets a heap keep up
// to 16 MB free at its top (also per thread arena), grows it 4 MB at a time, and serves blocks of
// up to 4 MB from the heap instead of a mapping of their own. What the process holds beyond its
// live data is bounded by those 16 MB per arena in use; the agent's reads run on one or two
// threads at a time, so its resident size stays within what a user would notice.
//
// On Windows the process heap manages its own free lists; the call does nothing there.
#pragma once

namespace nx::sys {

void KeepHeapBetweenCalls();

}  // namespace nx::sys
