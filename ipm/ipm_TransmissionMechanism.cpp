#include "ipm/ipm_TransmissionMechanism.h"

ipm_TransmissionMechanism::ipm_TransmissionMechanism() = default;

ipm_TransmissionMechanism::~ipm_TransmissionMechanism() = default;

void ipm_TransmissionMechanism::TransmitSeveral(const std::vector<std::string_view>& documents) {
    for (std::string_view document : documents) Transmit(cow_String(document));
}

std::string_view ipm_TransmissionMechanism::EncodeInto(std::string& storage, const char* type, const char* format,
                                                      int* integers, double* doubles, char** texts, bool started) {
    storage = Encode(type, format, integers, doubles, texts, started).view();
    return storage;
}

bool ipm_TransmissionMechanism::AwaitRequests(const csp_WakeSignal&) { return true; }

long long ipm_TransmissionMechanism::Finish(std::chrono::milliseconds) {
    Close();
    return 0;
}
