#pragma once

// Turns SIGINT and SIGTERM into a descriptor that becomes readable, so that a
// poll loop notices them; ignores SIGPIPE, so that a peer gone away shows as
// a failed write. One object at a time in a process.
class ipm_StopRequest {
public:
    // Throws std::runtime_error when the pipe cannot be made.
    ipm_StopRequest();
    // Puts the default handlers back.
    ~ipm_StopRequest();
    ipm_StopRequest(const ipm_StopRequest&) = delete;
    ipm_StopRequest& operator=(const ipm_StopRequest&) = delete;

    // Readable once a stop was asked for.
    int Descriptor() const { return pipe[0]; }

private:
    int pipe[2] = {-1, -1};
};
