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

// The types object last written on this thread, with the names and types
// it was made of: a job's messages mostly repeat them, and comparing costs
// less than writing.
class LastTypes {
public:
    void Start() { used = 0, same = true; }
    void Next(const Field& field) {
        if (same && used < fields.size() && fields[used].first == field.name && fields[used].second == field.type) {
            ++used;
            return;
        }
        if (same) fields.resize(used), same = false;
        fields.emplace_back(field.name, field.type);
        ++used;
    }
    // The object for the fields given since Start.
    const std::string& Object() {
        if (same && used == fields.size()) return object;
        fields.resize(used);
        object.assign(1, '{');
        for (const auto& [name, type] : fields) {
            if (object.size() > 1) object += ',';
            ipm_MessageRecord::AppendJsonString(object, name);
            object += ':';
            ipm_MessageRecord::AppendJsonString(object, type);
        }
        object += '}';
        return object;
    }

private:
    std::vector<std::pair<std::string, std::string>> fields;
    std::string object = "{}";
    std::size_t used = 0;
    bool same = true;
};

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
    numbers.clear();
    // Room for the usual message at once: its strings grow no more.
    std::size_t room = 2;
    for (const Field& field : message.fields) room += field.name.size() + field.value.size() + 6;
    fields.reserve(room);
    numbers.reserve(message.fields.size());
    fields.push_back('{');
    const std::vector<std::size_t>& source = valueSources(message.fields);
    thread_local LastTypes last;
    last.Start();
    for (std::size_t i = 0; i < message.fields.size(); ++i) {
        if (source[i] == none) continue;
        const Field& field = message.fields[source[i]];
        if (fields.size() > 1) fields += ',';
        AppendJsonString(fields, field.name);
        fields += ':';
        appendValue(*this, field);
        last.Next(field);
    }
    fields += '}';
    types = last.Object();
}

namespace {

void prefetchLines(const void* from, std::size_t bytes) {
    constexpr std::size_t line = 64;
    for (std::size_t at = 0; at < bytes; at += line) __builtin_prefetch(static_cast<const char*>(from) + at);
}

}  // namespace

void ipm_MessageRecord::PrefetchRecord() const { prefetchLines(this, sizeof *this); }

void ipm_MessageRecord::PrefetchContent() const {
    prefetchLines(read.fields.data(), read.fields.size() * sizeof(Field));
    prefetchLines(numbers.data(), numbers.size() * sizeof(numbers[0]));
}

std::string ipm_MessageRecord::ToJson(std::int64_t id) const {
    // Appended piece by piece: a chain of operator+ from a short literal makes
    // GCC 12 at -O3 report a false -Wrestrict overlap.
    std::string json = "{\"id\":";
    json.append(std::to_string(id)).append(",\"time\":").append(std::to_string(time)).append(",\"type\":");
    AppendJsonString(json, type);
    return json.append(",\"fields\":").append(fields).append("}");
}
