#include "foundation/atr_translate.h"

namespace {
bool isPlaceholder(std::string_view text, size_t at) {
    return text[at] == '%' && at + 1 < text.size() && (text[at + 1] == 'd' || text[at + 1] == 's');
}
}  // namespace

atr_translate::atr_translate(const char* message) : message(message) {}

atr_String atr_translate::Result() const {
    const std::string_view text = message.view();
    atr_String result;
    int number = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if (!isPlaceholder(text, at)) {
            result.append(text[at]);
            continue;
        }
        auto value = values.find(++number);
        if (value != values.end()) {
            result += value->second;
            ++at;
        } else {
            result.append(text[at]);
        }
    }
    return result;
}

void atr_SubstituteFormat(atr_translate& message, int number, int value) {
    message.values[number] = cow_String(value);
}

void atr_SubstituteFormat(atr_translate& message, int number, const char* value) {
    message.values[number] = cow_String(value);
}
