#include "ipm/impl/ipm_PhaseTexts.h"

#include <functional>

namespace {
size_t slotOf(std::string_view phase, size_t slotCount) { return std::hash<std::string_view>{}(phase) % slotCount; }
}  // namespace

ipm_PhaseTexts::ipm_PhaseTexts() { current.store(Add(""), std::memory_order_release); }

ipm_PhaseTexts::~ipm_PhaseTexts() = default;

std::string_view ipm_PhaseTexts::Current(cow_String& held) const {
    if (const std::string* text = current.load(std::memory_order_acquire)) return *text;
    std::lock_guard guard(lock);
    // Also right when a writer has moved on meanwhile: the copy was current
    // when the pointer was read, or became current after that.
    held = uncountedPhase;
    return held.view();
}

void ipm_PhaseTexts::SetCurrent(std::string_view phase) {
    const std::string* text = Find(phase);
    if (!text) text = Add(phase);
    if (text) {
        current.store(text, std::memory_order_release);
        return;
    }
    std::lock_guard guard(lock);
    uncountedPhase = cow_String(phase);
    current.store(nullptr, std::memory_order_release);
}

const std::string* ipm_PhaseTexts::Find(std::string_view phase) const {
    for (size_t slot = slotOf(phase, slots.size());; slot = (slot + 1) % slots.size()) {
        const std::string* text = slots[slot].load(std::memory_order_acquire);
        if (!text || *text == phase) return text;
    }
}

const std::string* ipm_PhaseTexts::Add(std::string_view phase) {
    std::lock_guard guard(lock);
    if (const std::string* text = Find(phase)) return text;  // added by another sender meanwhile
    if (texts.size() == capacity) return nullptr;
    const std::string* text = texts.emplace_back(std::make_unique<const std::string>(phase)).get();
    size_t slot = slotOf(phase, slots.size());
    while (slots[slot].load(std::memory_order_relaxed)) slot = (slot + 1) % slots.size();
    slots[slot].store(text, std::memory_order_release);
    return text;
}
