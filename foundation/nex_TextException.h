#pragma once

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "foundation/nex_Exception.h"

// An exception that carries a text.
class IPM_EXPORT nex_TextException : public nex_Exception {
public:
    explicit nex_TextException(cow_String text);
    ~nex_TextException() override;

    atr_String AsString() const override;
    [[noreturn]] void Propagate() const override;
    nex_Exception* Copy() const override;
    const char* what() const noexcept override;

private:
    cow_String text;
};
