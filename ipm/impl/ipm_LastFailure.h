#pragma once

#include <exception>
#include <string>

// What the last failure of an entry point on the calling thread was about,
// so that entry points that must not throw can still say why they failed.
class ipm_LastFailure {
public:
    static void Set(std::string text);
    static void Clear();
    static const std::string& Text();

    // Runs `action`; anything it throws is recorded and `failed` returned.
    template <class Action, class Result>
    static Result Guard(Action action, Result failed) noexcept {
        try {
            return action();
        } catch (...) {
            Record(std::current_exception());
        }
        return failed;
    }

private:
    static void Record(const std::exception_ptr& failure) noexcept;
};
