#include "ipm/ipm_TransmissionMechanism.h"

#include <cstring>

#include "ipm/ipm_DocumentRoom.h"

ipm_TransmissionMechanism::ipm_TransmissionMechanism() = default;

ipm_TransmissionMechanism::~ipm_TransmissionMechanism() = default;

void ipm_TransmissionMechanism::TransmitSeveral(const std::vector<std::string_view>& documents) {
    for (std::string_view document : documents) Transmit(cow_String(document));
}

std::string_view ipm_TransmissionMechanism::EncodeInto(ipm_DocumentRoom& room, const char* type, const char* format,
                                                       int* integers, double* doubles, char** texts, bool started) {
    const cow_String document = Encode(type, format, integers, doubles, texts, started);
    const std::string_view text = document.view();
    char* at = room.Reserve(text.size());
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
}

bool ipm_TransmissionMechanism::AwaitRequests(const csp_WakeSignal&) { return true; }

long long ipm_TransmissionMechanism::Finish(std::chrono::milliseconds) {
    Close();
    return 0;
}
