#pragma once

#include <map>

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// A message text with numbered placeholders ("%d", "%s"; the first is number
// 1). Unfilled placeholders stay as they are. There is no translation
// catalogue: the message's own text is the result.
class IPM_EXPORT atr_translate {
public:
    explicit atr_translate(const char* message);

    atr_String Result() const;

    friend IPM_EXPORT void atr_SubstituteFormat(atr_translate& message, int number, int value);
    friend IPM_EXPORT void atr_SubstituteFormat(atr_translate& message, int number, const char* value);

private:
    cow_String message;
    std::map<int, cow_String> values;
};

IPM_EXPORT void atr_SubstituteFormat(atr_translate& message, int number, int value);
IPM_EXPORT void atr_SubstituteFormat(atr_translate& message, int number, const char* value);
