#pragma once

#include <sstream>
#include <string>

#include "csp/csp_NetworkException.h"
#include "foundation/aio_ostream.h"

// What `value` prints on the foundation's output stream.
template <class Value>
std::string Printed(const Value& value) {
    std::ostringstream captured;
    aio_ostream stream(captured);
    stream << value;
    return captured.str();
}

inline std::string TextOf(const nex_Exception& error) { return std::string(error.AsString().view()); }

// The kind's name and the text of the network error that `call` raises.
template <class Call>
std::string RaisedBy(Call call) {
    try {
        call();
    } catch (const csp_NetworkException& error) {
        return std::string(csp_getNetworkErrorName(error.getKind())) + " " + TextOf(error);
    }
    return "nothing raised";
}
