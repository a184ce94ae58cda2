#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "foundation/thr_GlobalSingleton.h"

// The job's options. Read from the process's own arguments at first use, so a
// job in any language needs no call; a host may hand its own list instead.
// Accepted forms: name=value, -name=value, --name=value, -name value; a -name
// followed by another option or by nothing is present with an empty value.
// Other arguments are ignored; a later option replaces an earlier one.
class IPM_EXPORT utl_CommandLine {
public:
    // The process's own arguments (its program name is skipped).
    utl_CommandLine();
    // The given arguments; none of them is taken as a program name.
    explicit utl_CommandLine(const std::vector<std::string>& arguments);

    // Replaces the options by those of `arguments` (no program name).
    void SetArguments(const std::vector<std::string>& arguments);
    void SetArguments(int count, const char* const* arguments);
    // Goes back to the process's own arguments.
    void UseProcessArguments();

    bool IsMember(const cow_String& name) const;
    // The option's value; empty when absent.
    cow_String ConstGetValue(const cow_String& name) const;

private:
    mutable std::mutex guard;
    std::map<std::string, std::string, std::less<>> options;
};

template <>
IPM_EXPORT utl_CommandLine& thr_GlobalSingleton<utl_CommandLine>::Instance();
