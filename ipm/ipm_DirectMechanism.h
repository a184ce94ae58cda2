#pragma once

#include "csp/csp_TcpSocket.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "ipm/ipm_TransmissionMechanism.h"

// The transport straight to the listener over one TCP connection. The job
// writes its name, then every message document back to back; the listener
// may answer with bytes holding "Kill", which raise the job's kill signal.
// Options: "listener_name" (dotted address or host name) and "direct_port".
class ipm_DirectMechanism : public ipm_TransmissionMechanism {
public:
    // Nothing is read or connected yet.
    IPM_EXPORT ipm_DirectMechanism();
    // Disconnects and closes; never throws.
    IPM_EXPORT ~ipm_DirectMechanism() override;

    // False when the listener cannot be reached; a listener name that does
    // not resolve raises csp_NetworkException.
    bool Initialize() override;
    cow_String Encode(const char* type, const char* format, int* integers, double* doubles, char** texts,
                      bool started) override;
    // Shuts the connection down both ways.
    void Close() override;
    void Transmit(const cow_String& document) override;
    // Waits up to 60 ms for the listener, reads once and looks for "Kill".
    void Poll() override;

private:
    csp_TcpSocket socket;
};
