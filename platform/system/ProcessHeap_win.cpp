#include "platform/system/ProcessHeap.h"

namespace nx::sys {

void KeepHeapBetweenCalls() {}

}  // namespace nx::sys
