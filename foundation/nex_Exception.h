#pragma once

#include <exception>

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// Root of the library's exceptions. Throw records where it was raised and
// throws the object as its own most-derived class (through Propagate), so a
// handler for that class catches it.
class IPM_EXPORT nex_Exception : public std::exception {
public:
    ~nex_Exception() override;

    // The text with where it was raised.
    virtual atr_String DeveloperReport() const;
    // The text alone.
    virtual atr_String UserReport() const;
    virtual atr_String AsString() const = 0;
    // Throws a copy of this object as its most-derived class.
    [[noreturn]] virtual void Propagate() const = 0;
    // A heap copy of this object, as its most-derived class.
    virtual nex_Exception* Copy() const = 0;

    [[noreturn]] void Throw(const char* sourceFile, int line);

    const char* SourceFile() const { return sourceFile; }
    int SourceLine() const { return sourceLine; }

private:
    const char* sourceFile = "";
    int sourceLine = 0;
};
