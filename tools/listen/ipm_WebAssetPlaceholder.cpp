#include "tools/listen/ipm_WebAsset.h"

namespace {

const ipm_WebAsset page{"/", "text/html; charset=utf-8",
                        "<!doctype html><title>ipm monitor</title><p>The page is not built in; the API is at /api/jobs."};

}  // namespace

const ipm_WebAsset* ipm_findWebAsset(std::string_view path) { return path == "/" ? &page : nullptr; }
