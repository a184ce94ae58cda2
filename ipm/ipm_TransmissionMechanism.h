#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

class csp_WakeSignal;
class ipm_DocumentRoom;

// The transport behind the transmitter. The host constructs a concrete one and
// hands it to ipm_MessageTransmit::SetMechanism, which owns it from then on.
// The message task starts it, and after a failure closes it and starts it
// again: Initialize must work after Close. A setting that can never work
// (not a failure of the network) is thrown as std::invalid_argument.
class IPM_EXPORT ipm_TransmissionMechanism {
public:
    ipm_TransmissionMechanism();
    virtual ~ipm_TransmissionMechanism();

    // True when the transport is open and ready.
    virtual bool Initialize() = 0;
    // The message document; works whether or not Initialize has run.
    virtual cow_String Encode(const char* type, const char* format, int* integers, double* doubles, char** texts,
                              bool started) = 0;
    // Encode into `room` (see ipm_DocumentRoom), so that a caller that
    // keeps its room allocates nothing per message; the view is valid while
    // the room is. By default a copy of Encode's document.
    virtual std::string_view EncodeInto(ipm_DocumentRoom& room, const char* type, const char* format, int* integers,
                                        double* doubles, char** texts, bool started);
    // Ends the conversation in the transport's own orderly way; only the host calls it.
    virtual void Close() = 0;
    // Sends one complete document; transport failures are thrown.
    virtual void Transmit(const cow_String& document) = 0;
    // Waits briefly for requests from the listener and acts on them.
    virtual void Poll() = 0;
    // Waits as Poll would, without acting, so that the host can wait outside
    // its transport lock, and no longer once `wake` is raised; false when Poll has nothing to act on. By default true at
    // once: Poll waits itself.
    virtual bool AwaitRequests(const csp_WakeSignal& wake);
    // Sends several documents, oldest first, in as few writes as the
    // transport allows; by default one Transmit each.
    virtual void TransmitSeveral(const std::vector<std::string_view>& documents);
    // The orderly end at a stop, within `within`: the transport confirms
    // what it can of what was sent and returns how many documents it could
    // not confirm as taken. By default Close, and 0.
    virtual long long Finish(std::chrono::milliseconds within);

    // Empty until SetMechanism copies the transmitter's job name in.
    cow_String jobName;
};
