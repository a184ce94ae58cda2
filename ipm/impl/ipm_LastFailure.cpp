#include "ipm/impl/ipm_LastFailure.h"

#include <utility>

#include "foundation/omi_FatalError.h"

namespace {
thread_local std::string lastFailure;
}  // namespace

void ipm_LastFailure::Set(std::string text) { lastFailure = std::move(text); }

void ipm_LastFailure::Clear() { lastFailure.clear(); }

const std::string& ipm_LastFailure::Text() { return lastFailure; }

void ipm_LastFailure::Record(const std::exception_ptr& failure) noexcept {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            lastFailure = error.what();
        } catch (const omi_FatalError& error) {
            lastFailure = std::string(error.call) + " failed with error " + std::to_string(error.code);
        } catch (...) {
            lastFailure = "unknown error";
        }
    } catch (...) {
        // No memory left even for the text: the failure stays unexplained.
    }
}
