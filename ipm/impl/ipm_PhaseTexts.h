#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/cow_String.h"

// The current phase, handed from the sender that sets it to the senders that
// repeat it without a lock on either side: each distinct phase text is kept
// once, unchanged, for the life of the table, so the current phase is a
// pointer that a reader can follow while any writer moves it on. A job has a
// handful of phases; past `capacity` distinct texts, further ones go through
// a locked copy instead, so a job that makes up a new phase every time still
// uses bounded memory.
class ipm_PhaseTexts {
public:
    ipm_PhaseTexts();
    ipm_PhaseTexts(const ipm_PhaseTexts&) = delete;
    ipm_PhaseTexts& operator=(const ipm_PhaseTexts&) = delete;
    ~ipm_PhaseTexts();

    // Stays valid while the table lives, or while `held` does.
    std::string_view Current(cow_String& held) const;
    void SetCurrent(std::string_view phase);

    static constexpr size_t capacity = 512;

private:
    const std::string* Find(std::string_view phase) const;
    // Null when the table is full.
    const std::string* Add(std::string_view phase);

    // Open addressing, at most half full so that every probe ends at an
    // empty slot; slots are filled once and never cleared.
    std::array<std::atomic<const std::string*>, 2 * capacity> slots{};
    // Null while the current phase is the locked copy.
    std::atomic<const std::string*> current{nullptr};

    mutable std::mutex lock;  // guards the two members below and adding texts
    std::vector<std::unique_ptr<const std::string>> texts;
    cow_String uncountedPhase;
};
