#include "ipm/impl/ipm_RequestLines.h"

#include "ipm/impl/ipm_RequestDesk.h"
#include "ipm/ipm_Request.h"

void ipm_RequestLines::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!skipping) partial += piece;
        if (partial.size() > lineBound) {
            partial.clear();
            skipping = true;
        }
        if (end == std::string_view::npos) return;
        if (!skipping)
            if (const auto request = ipm_Request::Parse(partial)) ipm_RequestDesk::Instance().Receive(*request);
        partial.clear();
        skipping = false;
        bytes.remove_prefix(end + 1);
    }
}

void ipm_RequestLines::Clear() {
    partial.clear();
    skipping = false;
}
