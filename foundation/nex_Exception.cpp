#include "foundation/nex_Exception.h"

nex_Exception::~nex_Exception() = default;

atr_String nex_Exception::DeveloperReport() const {
    atr_String report = AsString();
    report.append(" (").append(sourceFile).append(":").append(cow_String(sourceLine).view()).append(")");
    return report;
}

atr_String nex_Exception::UserReport() const { return AsString(); }

void nex_Exception::Throw(const char* file, int line) {
    sourceFile = file ? file : "";
    sourceLine = line;
    Propagate();
    __builtin_unreachable();  // Propagate always throws
}
