#pragma once

#include <string_view>

// A file of the monitor page, built into the listener so that the installed
// tool serves the page without network access or files beside it.
struct ipm_WebAsset {
    std::string_view path;
    // The file's name in the page's source directory, which a developer's
    // listener may serve from instead (IPM_WEB_DIR).
    std::string_view fileName;
    std::string_view contentType;
    std::string_view body;
};

// "/" is the page itself; nullptr for a path the page does not have.
const ipm_WebAsset* ipm_findWebAsset(std::string_view path);
