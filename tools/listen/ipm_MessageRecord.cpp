#include "tools/listen/ipm_MessageRecord.h"

#include "tools/listen/ipm_TypedValue.h"

ipm_MessageRecord ipm_MessageRecord::From(const ipm_DocumentReader::Message& message) {
    ipm_MessageRecord record;
    record.type = message.type;
    for (const auto& field : message.fields) {
        record.fields[field.name] = ipm_TypedValue::Of(field.type, field.value);
        record.types[field.name] = field.type;
    }
    return record;
}

nlohmann::ordered_json ipm_MessageRecord::ToJson() const {
    return {{"id", id}, {"time", time}, {"type", type}, {"fields", fields}};
}
