#include "foundation/nex_TextException.h"

#include <utility>

nex_TextException::nex_TextException(cow_String text) : text(std::move(text)) {}

nex_TextException::~nex_TextException() = default;

atr_String nex_TextException::AsString() const { return text; }

void nex_TextException::Propagate() const { throw *this; }

nex_Exception* nex_TextException::Copy() const { return new nex_TextException(*this); }

const char* nex_TextException::what() const noexcept { return text.text(); }
