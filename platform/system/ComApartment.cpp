#include "platform/system/ComApartment.h"

namespace nx::sys {

// No COM on this platform: the XML wrapper works on any thread without set-up.
ComApartment::ComApartment() noexcept = default;

ComApartment::~ComApartment() = default;

}  // namespace nx::sys
