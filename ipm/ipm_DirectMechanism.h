#pragma once

#include <memory>
#include <string>

#include "csp/csp_TcpSocket.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "ipm/ipm_TransmissionMechanism.h"

class ipm_RequestLines;

// The transport straight to the listener over one TCP connection. The job
// writes its name, then every message document back to back; the listener
// may answer with bytes holding "Kill", which raise the job's kill signal,
// and with request lines (ipm_Request) for a job that offers requests.
// Options: "listener_name" (dotted address or host name) and "direct_port".
class ipm_DirectMechanism : public ipm_TransmissionMechanism {
public:
    // Nothing is read or connected yet.
    IPM_EXPORT ipm_DirectMechanism();
    // Disconnects and closes; never throws.
    IPM_EXPORT ~ipm_DirectMechanism() override;

    // Connects afresh. False when the listener cannot be reached; a listener
    // name that does not resolve raises csp_NetworkException, a direct_port
    // that is no port number std::invalid_argument.
    bool Initialize() override;
    cow_String Encode(const char* type, const char* format, int* integers, double* doubles, char** texts,
                      bool started) override;
    std::string_view EncodeInto(ipm_DocumentRoom& room, const char* type, const char* format, int* integers,
                                double* doubles, char** texts, bool started) override;
    // Shuts the connection down both ways.
    void Close() override;
    // Writes the whole document within the network time limit
    // (IPM_NETWORK_TIMEOUT_MS).
    void Transmit(const cow_String& document) override;
    // Waits up to 60 ms for the listener, reads once, looks for "Kill" in
    // exactly what it read and hands complete request lines on; raises csp_NetworkException when the listener has closed the connection.
    void Poll() override;
    // Poll's wait alone: safe beside a Transmit on another thread.
    bool AwaitRequests(const csp_WakeSignal& wake) override;
    // The documents back to back in one write.
    void TransmitSeveral(const std::vector<std::string_view>& documents) override;

private:
    void Write(std::string_view bytes);

    csp_TcpSocket socket;
    std::unique_ptr<ipm_RequestLines> requestLines;
    // HOST:PORT as the options give them, for the reasons told.
    std::string listenerAddress;
    int writeTimeout = 10000;
};
