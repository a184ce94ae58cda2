#include "foundation/utl_CommandLine.h"

#include "foundation/impl/utl_platform.h"

namespace {
bool startsWithDash(const std::string& argument) {
    const bool negativeNumber = argument.size() > 1 && ((argument[1] >= '0' && argument[1] <= '9') ||
                                                        argument[1] == '.');
    return argument.size() > 1 && argument[0] == '-' && !negativeNumber;
}

bool isOption(const std::string& argument) {
    return startsWithDash(argument) || argument.find('=') != std::string::npos;
}

std::string withoutDashes(const std::string& argument) {
    size_t dashes = 0;
    while (dashes < 2 && dashes < argument.size() && argument[dashes] == '-') ++dashes;
    return argument.substr(dashes);
}
}  // namespace

utl_CommandLine::utl_CommandLine() { UseProcessArguments(); }

utl_CommandLine::utl_CommandLine(const std::vector<std::string>& arguments) { SetArguments(arguments); }

void utl_CommandLine::SetArguments(const std::vector<std::string>& arguments) {
    std::map<std::string, std::string, std::less<>> parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!isOption(argument)) continue;
        const std::string option = withoutDashes(argument);
        const size_t equals = option.find('=');
        if (equals != std::string::npos) {
            parsed[option.substr(0, equals)] = option.substr(equals + 1);
        } else if (i + 1 < arguments.size() && !isOption(arguments[i + 1])) {
            parsed[option] = arguments[++i];
        } else {
            parsed[option] = "";
        }
    }
    std::lock_guard lock(guard);
    options = std::move(parsed);
}

void utl_CommandLine::SetArguments(int count, const char* const* arguments) {
    std::vector<std::string> list;
    for (int i = 0; i < count; ++i) list.emplace_back(arguments[i] ? arguments[i] : "");
    SetArguments(list);
}

void utl_CommandLine::UseProcessArguments() { SetArguments(utl_processArguments()); }

bool utl_CommandLine::IsMember(const cow_String& name) const {
    std::lock_guard lock(guard);
    return options.find(name.view()) != options.end();
}

cow_String utl_CommandLine::ConstGetValue(const cow_String& name) const {
    std::lock_guard lock(guard);
    auto option = options.find(name.view());
    return option == options.end() ? cow_String() : cow_String(std::string_view(option->second));
}

template <>
utl_CommandLine& thr_GlobalSingleton<utl_CommandLine>::Instance() {
    static utl_CommandLine commandLine;
    return commandLine;
}
