#include "tools/listen/store/ipm_MessageRecord.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <numeric>
#include <utility>
#include <vector>

#include "tools/listen/store/ipm_TypedValue.h"

namespace {

using Field = ipm_DocumentReader::Field;
using Json = nlohmann::ordered_json;

constexpr std::size_t none = static_cast<std::size_t>(-1);

// Up to this many fields, names are compared pairwise: cheaper than sorting
// for the usual message.
constexpr std::size_t fewFields = 16;

// For each field, the field whose value its name shows, or `none` for a
// repeated name. Sorting keeps this n log n for messages of many fields.
// The answer is kept per thread, its room reused from message to message.
const std::vector<std::size_t>& valueSources(const std::vector<Field>& fields) {
    thread_local std::vector<std::size_t> source;
    source.assign(fields.size(), none);
    if (fields.size() <= fewFields) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            std::size_t first = 0;
            while (fields[first].name != fields[i].name) ++first;
            source[first] = i;
        }
        return source;
    }
    std::vector<std::size_t> order(fields.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return fields[a].name < fields[b].name; });
    for (std::size_t i = 0; i < order.size();) {
        std::size_t last = i;
        while (last + 1 < order.size() && fields[order[last + 1]].name == fields[order[i]].name) ++last;
        source[order[i]] = order[last];
        i = last + 1;
    }
    return source;
}

bool plainAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c < 0x7F && c != '"' && c != '\\'; });
}

void appendValue(ipm_MessageRecord& record, const Field& field) {
    double number = 0;
    if (!ipm_TypedValue::AppendNumber(record.fields, field.type, field.value, number)) {
        ipm_MessageRecord::AppendJsonString(record.fields, field.value);
    } else if (std::isfinite(number)) {
        record.numbers.emplace_back(field.name, number);
    }
}

}  // namespace

void ipm_MessageRecord::AppendJsonString(std::string& out, std::string_view text) {
    if (plainAscii(text)) {
        // One growth of the string instead of three appends: names and
        // types are short, and the calls would cost more than the bytes.
        const std::size_t at = out.size();
        out.resize(at + text.size() + 2);
        char* quoted = out.data() + at;
        quoted[0] = '"';
        std::memcpy(quoted + 1, text.data(), text.size());
        quoted[text.size() + 1] = '"';
    } else {
        out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}

ipm_MessageRecord ipm_MessageRecord::From(const ipm_DocumentReader::Message& message) {
    ipm_MessageRecord record;
    record.Take(message);
    record.Encode();
    return record;
}

void ipm_MessageRecord::Take(const ipm_DocumentReader::Message& message) {
    type = message.type;
    // Assigned field by field, so that the kept strings' room is used again.
    read.fields.resize(message.fields.size());
    std::copy(message.fields.begin(), message.fields.end(), read.fields.begin());
    encoded = false;
}

void ipm_MessageRecord::Encode() {
    if (std::exchange(encoded, true)) return;
    const ipm_DocumentReader::Message& message = read;
    fields.clear();
    types.clear();
    numbers.clear();
    // Room for the usual message at once: its strings grow no more.
    std::size_t names = 0, values = 0, typeNames = 0;
    for (const Field& field : message.fields) {
        names += field.name.size() + 4;
        values += field.value.size() + 2;
        typeNames += field.type.size() + 2;
    }
    fields.reserve(names + values + 2);
    types.reserve(names + typeNames + 2);
    numbers.reserve(message.fields.size());
    fields.push_back('{');
    types.push_back('{');
    const std::vector<std::size_t>& source = valueSources(message.fields);
    for (std::size_t i = 0; i < message.fields.size(); ++i) {
        if (source[i] == none) continue;
        const Field& field = message.fields[source[i]];
        for (std::string* object : {&fields, &types}) {
            if (object->size() > 1) *object += ',';
            AppendJsonString(*object, field.name);
            *object += ':';
        }
        appendValue(*this, field);
        AppendJsonString(types, field.type);
    }
    fields += '}';
    types += '}';
}

std::string ipm_MessageRecord::ToJson(std::int64_t id) const {
    // Appended piece by piece: a chain of operator+ from a short literal makes
    // GCC 12 at -O3 report a false -Wrestrict overlap.
    std::string json = "{\"id\":";
    json.append(std::to_string(id)).append(",\"time\":").append(std::to_string(time)).append(",\"type\":");
    AppendJsonString(json, type);
    return json.append(",\"fields\":").append(fields).append("}");
}
