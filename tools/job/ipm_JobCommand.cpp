#include "tools/job/ipm_JobCommand.h"

#include "ipm/ipm_c.h"

#include <nlohmann/json.hpp>

#include <climits>
#include <limits>
#include <stdexcept>

using nlohmann::json;

namespace {

[[noreturn]] void reject(const std::string& reason) { throw std::invalid_argument(reason); }

void checkSupply(const char* kind, int needed, size_t given) {
    if (static_cast<size_t>(needed) <= given) return;
    reject("the format needs " + std::to_string(needed) + " " + kind + ", the line gives " +
           std::to_string(given));
}

const json* member(const json& object, const char* name) {
    auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

std::string textMember(const json& object, const char* name, bool required) {
    const json* value = member(object, name);
    if (!value && !required) return {};
    if (!value || !value->is_string()) reject(std::string("\"") + name + "\" must be a text");
    return value->get<std::string>();
}

const json& arrayMember(const json& object, const char* name) {
    static const json none = json::array();
    const json* value = member(object, name);
    if (!value) return none;
    if (!value->is_array()) reject(std::string("\"") + name + "\" must be an array");
    return *value;
}

int toInteger(const json& value) {
    const bool fits = value.is_number_unsigned()  ? value.get<unsigned long long>() <= INT_MAX
                      : value.is_number_integer() ? value.get<long long>() >= INT_MIN && value.get<long long>() <= INT_MAX
                                                  : false;
    if (!fits) reject("\"ints\" holds " + value.dump() + ", not a 32-bit integer");
    return value.get<int>();
}

double toDouble(const json& value) {
    if (value.is_number()) return value.get<double>();
    if (value == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (value == "inf") return std::numeric_limits<double>::infinity();
    if (value == "-inf") return -std::numeric_limits<double>::infinity();
    reject(R"("doubles" holds )" + value.dump() + R"(, not a number, "nan", "inf" or "-inf")");
}

std::string toText(const json& value) {
    if (!value.is_string()) reject("\"texts\" holds " + value.dump() + ", not a text");
    return value.get<std::string>();
}

void allowOnly(const json& object, std::initializer_list<std::string_view> names) {
    for (const auto& [name, value] : object.items()) {
        bool known = false;
        for (std::string_view allowed : names) known = known || name == allowed;
        if (!known) reject("unknown field \"" + name + "\"");
    }
}

ipm_JobCommand parseSend(const json& object) {
    allowOnly(object, {"send", "type", "format", "ints", "doubles", "texts"});
    ipm_JobCommand command;
    const json& mode = object["send"];
    if (mode == "buffered") {
        command.kind = ipm_JobCommand::Kind::SendBuffered;
    } else if (mode == "direct") {
        command.kind = ipm_JobCommand::Kind::SendDirect;
    } else {
        reject(R"("send" must be "buffered" or "direct")");
    }
    command.type = textMember(object, "type", true);
    command.format = textMember(object, "format", false);
    for (const json& value : arrayMember(object, "ints")) command.integers.push_back(toInteger(value));
    for (const json& value : arrayMember(object, "doubles")) command.doubles.push_back(toDouble(value));
    for (const json& value : arrayMember(object, "texts")) command.texts.push_back(toText(value));
    int integers = 0;
    int doubles = 0;
    int texts = 0;
    ipm_countFormatValues(command.format.c_str(), &integers, &doubles, &texts);
    checkSupply("ints", integers, command.integers.size());
    checkSupply("doubles", doubles, command.doubles.size());
    checkSupply("texts", texts, command.texts.size());
    return command;
}

ipm_JobCommand parseSleep(const json& object) {
    allowOnly(object, {"sleep"});
    const json& value = object["sleep"];
    if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > INT_MAX)
        reject("\"sleep\" must be a whole number of milliseconds, 0 or more");
    ipm_JobCommand command;
    command.kind = ipm_JobCommand::Kind::Sleep;
    command.milliseconds = value.get<int>();
    return command;
}

ipm_JobCommand parseClose(const json& object) {
    allowOnly(object, {"close"});
    if (object["close"] != true) reject("\"close\" must be true");
    ipm_JobCommand command;
    command.kind = ipm_JobCommand::Kind::Close;
    return command;
}

ipm_JobCommand parseOffer(const json& object) {
    allowOnly(object, {"offer"});
    const json& offers = object["offer"];
    if (!offers.is_object()) reject("\"offer\" must be an object of request names and labels");
    ipm_JobCommand command;
    command.kind = ipm_JobCommand::Kind::Offer;
    for (const auto& [name, label] : offers.items()) command.offers.emplace_back(name, toText(label));
    return command;
}

ipm_JobCommand parseAnswer(const json& object) {
    allowOnly(object, {"answer", "text"});
    ipm_JobCommand command;
    command.kind = ipm_JobCommand::Kind::Answer;
    command.outcome = textMember(object, "answer", true);
    if (command.outcome != "done" && command.outcome != "refused" && command.outcome != "failed" &&
        command.outcome != "none")
        reject(R"("answer" must be "done", "refused", "failed" or "none")");
    command.texts.push_back(textMember(object, "text", false));
    return command;
}

}  // namespace

ipm_JobCommand ipm_JobCommand::Parse(std::string_view line) {
    const json object = json::parse(line, nullptr, false);
    if (object.is_discarded()) reject("not valid JSON");
    if (!object.is_object()) reject("not a JSON object");
    const int commands = object.contains("send") + object.contains("sleep") + object.contains("close") +
                         object.contains("offer") + object.contains("answer");
    if (commands > 1) reject("more than one command on the line");
    if (object.contains("send")) return parseSend(object);
    if (object.contains("sleep")) return parseSleep(object);
    if (object.contains("close")) return parseClose(object);
    if (object.contains("offer")) return parseOffer(object);
    if (object.contains("answer")) return parseAnswer(object);
    if (object.empty()) reject("no command");
    reject("unknown command \"" + object.begin().key() + "\"");
}

std::vector<char*> ipm_JobCommand::TextPointers() {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    return pointers;
}
