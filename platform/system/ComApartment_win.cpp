// COM on Windows: the scope enters the single-threaded apartment (CoInitializeEx with
// COINIT_APARTMENTTHREADED) and leaves it at its end when it entered (S_OK or S_FALSE, which both
// want a CoUninitialize). A thread already in the multithreaded apartment does not enter.
#include <objbase.h>

#include "platform/system/ComApartment.h"
#include "platform/system/Win.h"

namespace nx::sys {

ComApartment::ComApartment() noexcept
    : m_entered(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ComApartment::~ComApartment() {
    if (m_entered) ::CoUninitialize();
}

}  // namespace nx::sys
