#include "foundation/aio_ostream.h"

#include <iostream>

aio_ostream aio_cout(std::cout);

aio_ostream::aio_ostream(std::ostream& target) : target(&target) {}

aio_ostream& aio_ostream::print(const char* text) {
    std::lock_guard lock(guard);
    *target << (text ? text : "");
    return *this;
}

aio_ostream& aio_ostream::print_int(int value) {
    std::lock_guard lock(guard);
    *target << value;
    return *this;
}

aio_ostream& aio_ostream::put(char c) {
    std::lock_guard lock(guard);
    target->put(c);
    return *this;
}

aio_ostream& aio_ostream::flush() {
    std::lock_guard lock(guard);
    target->flush();
    return *this;
}

void aio_ostream::SetTarget(std::ostream& newTarget) {
    std::lock_guard lock(guard);
    target = &newTarget;
}

aio_ostream& operator<<(aio_ostream& stream, const cow_String& text) { return stream.print(text.text()); }

aio_ostream& operator<<(aio_ostream& stream, const char* text) { return stream.print(text); }

aio_ostream& operator<<(aio_ostream& stream, int value) { return stream.print_int(value); }
