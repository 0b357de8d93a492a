// COM on the calling thread for the length of one scope, as the item writes want it around their
// XML work. On Windows the document object is a COM object: the scope enters the apartment model
// (CoInitialize) and leaves it at its end (CoUninitialize, only when it entered). The document
// object of this platform (pugixml behind common/XMLParser.h) needs no COM: the scope does
// nothing.
#pragma once

namespace nx::sys {

class ComApartment {
public:
    ComApartment() noexcept;
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    // Whether the scope entered COM, so its end leaves it; read only by the Windows side.
    [[maybe_unused]] bool m_entered = false;
};

}  // namespace nx::sys
