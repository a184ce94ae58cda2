#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/listen/alert/ipm_AlertOutlet.h"
#include "tools/listen/ipm_ListenOptions.h"

// Hands each alert to every destination, each through an outlet of its own.
class ipm_AlertDispatch {
public:
    // `pageAddress` (http://HOST:PORT/) leads from an alert to the job's view.
    ipm_AlertDispatch(const ipm_ListenOptions& options, const std::string& pageAddress);

    // Never blocks.
    void Post(const ipm_Alert& alert);

private:
    std::vector<std::unique_ptr<ipm_AlertOutlet>> outlets;
};
