#pragma once

// Turns SIGINT and SIGTERM into a descriptor that becomes readable, so that
// poll loops notice them; ignores SIGPIPE, so that a peer gone away shows as
// a failed write. Objects alive at the same time share one pipe, so that one
// signal stops every loop of the process.
class ipm_StopRequest {
public:
    // Throws std::runtime_error when the pipe cannot be made.
    ipm_StopRequest();
    // The last one puts the default handlers back.
    ~ipm_StopRequest();
    ipm_StopRequest(const ipm_StopRequest&) = delete;
    ipm_StopRequest& operator=(const ipm_StopRequest&) = delete;

    // Readable once a stop was asked for.
    int Descriptor() const;
    // Asks for a stop as a signal would.
    static void Ask();
};
