#include "ipm/impl/ipm_PhaseTexts.h"

#include <cstdint>
#include <cstring>

namespace {
uint64_t word(const char* at) {
    uint64_t bytes;
    std::memcpy(&bytes, at, sizeof bytes);
    return bytes;
}

uint64_t halfWord(const char* at) {
    uint32_t bytes;
    std::memcpy(&bytes, at, sizeof bytes);
    return bytes;
}

// A number made of the first and last bytes of a text of `count` (at most
// 8): fixed-size loads, overlapping when the text is shorter than them,
// which is as good for a hash and, with the length, decides equality.
uint64_t endsOf(const char* at, size_t count) {
    if (count >= 8) return word(at);
    if (count >= 4) return halfWord(at) | halfWord(at + count - 4) << 32;
    if (count == 0) return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(at);
    return bytes[0] | static_cast<uint64_t>(bytes[count / 2]) << 8 | static_cast<uint64_t>(bytes[count - 1]) << 16;
}

// Every message with a phase field looks its text up, so the hash reads at
// most 24 bytes: the start, the middle and the end, with the length. Texts
// that agree there only make a probe longer; the text itself decides.
size_t slotOf(std::string_view phase, size_t slotCount) {
    const size_t size = phase.size();
    uint64_t mixed = endsOf(phase.data(), size) ^ size;
    if (size > 8) mixed = (mixed * 0x9e3779b97f4a7c15u) ^ word(phase.data() + size - 8);
    if (size > 16) mixed = (mixed * 0x9e3779b97f4a7c15u) ^ word(phase.data() + size / 2 - 4);
    mixed *= 0xff51afd7ed558ccdu;
    return static_cast<size_t>(mixed >> 32) % slotCount;
}

// A phase is a short word: up to 16 bytes take two loads, not a call.
bool sameText(std::string_view stored, std::string_view phase) {
    const size_t size = phase.size();
    if (stored.size() != size) return false;
    if (size > 16) return std::memcmp(stored.data(), phase.data(), size) == 0;
    if (size <= 8) return endsOf(stored.data(), size) == endsOf(phase.data(), size);
    return word(stored.data()) == word(phase.data()) && word(stored.data() + size - 8) == word(phase.data() + size - 8);
}
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

// The table is looked in first, changed or not: one comparison either way.
// The current pointer is stored only when it changes, so that the senders
// reading it keep their copy of its line.
void ipm_PhaseTexts::SetCurrent(std::string_view phase) {
    const std::string* text = Find(phase);
    if (!text) text = Add(phase);
    if (text) {
        if (current.load(std::memory_order_relaxed) != text) current.store(text, std::memory_order_release);
        return;
    }
    std::lock_guard guard(lock);
    uncountedPhase = cow_String(phase);
    current.store(nullptr, std::memory_order_release);
}

const std::string* ipm_PhaseTexts::Find(std::string_view phase) const {
    for (size_t slot = slotOf(phase, slots.size());; slot = (slot + 1) % slots.size()) {
        const std::string* text = slots[slot].load(std::memory_order_acquire);
        if (!text || sameText(*text, phase)) return text;
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
