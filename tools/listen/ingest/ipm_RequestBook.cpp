#include "tools/listen/ingest/ipm_RequestBook.h"

#include <algorithm>
#include <charconv>

namespace {

using Clock = std::chrono::system_clock;

// 2026-01-01T00:00:00Z.
constexpr std::int64_t idEpoch = 1767225600;

const ipm_DocumentReader::Field* field(const ipm_DocumentReader::Message& message, std::string_view name) {
    for (const auto& candidate : message.fields)
        if (candidate.name == name) return &candidate;
    return nullptr;
}

std::int64_t milliseconds(Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace

ipm_RequestBook::ipm_RequestBook(std::chrono::seconds answerTime) : answerTime(answerTime) {
    const std::int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
    nextId = static_cast<int>(std::clamp<std::int64_t>(seconds - idEpoch, 1, 1 << 30));
}

void ipm_RequestBook::Observe(const std::string& transport, const std::string& job, std::int64_t monitorId,
                              const ipm_DocumentReader::Message& message) {
    std::int64_t announced = -1;
    {
        std::lock_guard guard(lock);
        if (message.type == "RequestsOffered") {
            auto& offer = offers[{transport, job}];
            offer.clear();
            // Every document also carries the job's phase and name, which are
            // no requests.
            for (const auto& offered : message.fields)
                if (offered.type == "string" && ipm_Request::ValidName(offered.name))
                    offer.emplace_back(offered.name, offered.value);
            announced = monitorId;
        } else if (message.type == "RequestAnswered") {
            const auto* idField = field(message, "id");
            const auto* outcome = field(message, "outcome");
            const auto* text = field(message, "text");
            int id = 0;
            if (!idField || !outcome) return;
            std::from_chars(idField->value.data(), idField->value.data() + idField->value.size(), id);
            const auto entry = requests.find(id);
            const bool known = outcome->value == "done" || outcome->value == "refused" || outcome->value == "failed";
            // Only the job it was sent to answers a request.
            if (entry == requests.end() || !known || entry->second.job != job || entry->second.transport != transport)
                return;
            entry->second.state = outcome->value;
            entry->second.text = text ? text->value : "";
            entry->second.delivered = true;
            announced = entry->second.monitorId;
        }
    }
    if (announced >= 0) Announce(announced);
}

std::optional<ipm_Request> ipm_RequestBook::Create(const std::string& transport, const std::string& job,
                                                   std::int64_t monitorId, const std::string& name,
                                                   const std::string& value, std::string& why) {
    if (!ipm_Request::ValidName(name)) {
        why = "a request name is a lowercase letter and up to 31 of a-z, 0-9, _ and -";
        return std::nullopt;
    }
    if (!ipm_Request::ValidValue(value)) {
        why = "a request value is at most 256 bytes of UTF-8 without control characters or \"Kill\"";
        return std::nullopt;
    }
    ipm_Request request;
    {
        std::lock_guard guard(lock);
        const auto offer = offers.find({transport, job});
        const bool offered = offer != offers.end() &&
                             std::any_of(offer->second.begin(), offer->second.end(),
                                         [&](const auto& pair) { return pair.first == name; });
        if (!offered) {
            why = "job " + job + " has not offered the request " + name;
            return std::nullopt;
        }
        request = ipm_Request{nextId++, name, value};
        Entry entry;
        entry.request = request;
        entry.transport = transport;
        entry.job = job;
        entry.monitorId = monitorId;
        entry.requested = Clock::now();
        requests.emplace(request.id, std::move(entry));
        if (requests.size() > keptRequests) requests.erase(requests.begin());
    }
    Announce(monitorId);
    return request;
}

void ipm_RequestBook::Delivered(int id) {
    std::lock_guard guard(lock);
    if (const auto entry = requests.find(id); entry != requests.end()) entry->second.delivered = true;
}

void ipm_RequestBook::Park(const ipm_Request& request) {
    std::lock_guard guard(lock);
    const auto entry = requests.find(request.id);
    if (entry == requests.end()) return;
    auto& waiting = parked[{entry->second.transport, entry->second.job}];
    waiting.push_back(request.id);
    if (waiting.size() > parkedPerJob) waiting.pop_front();
}

std::vector<ipm_Request> ipm_RequestBook::TakeParked(const std::string& transport, const std::string& job) {
    std::vector<ipm_Request> taken;
    std::lock_guard guard(lock);
    const auto waiting = parked.find({transport, job});
    if (waiting == parked.end()) return taken;
    for (const int id : waiting->second) {
        const auto entry = requests.find(id);
        if (entry != requests.end() && StateOf(entry->second) == "requested") taken.push_back(entry->second.request);
    }
    parked.erase(waiting);
    return taken;
}

void ipm_RequestBook::NotDelivered(int id) {
    std::int64_t announced = -1;
    {
        std::lock_guard guard(lock);
        const auto entry = requests.find(id);
        if (entry == requests.end() || entry->second.state != "requested") return;
        entry->second.state = "not delivered";
        announced = entry->second.monitorId;
    }
    Announce(announced);
}

bool ipm_RequestBook::Offers(const std::string& transport, const std::string& job) {
    std::lock_guard guard(lock);
    return offers.count({transport, job}) != 0;
}

std::string ipm_RequestBook::StateOf(const Entry& entry) const {
    if (entry.state != "requested" || Clock::now() - entry.requested < answerTime) return entry.state;
    return entry.delivered ? "no answer" : "not delivered";
}

nlohmann::ordered_json ipm_RequestBook::Json(const std::string& transport, const std::string& job,
                                             std::int64_t monitorId) {
    nlohmann::ordered_json offered = nlohmann::ordered_json::array();
    nlohmann::ordered_json sent = nlohmann::ordered_json::array();
    std::lock_guard guard(lock);
    if (const auto offer = offers.find({transport, job}); offer != offers.end())
        for (const auto& [name, label] : offer->second) offered.push_back({{"name", name}, {"label", label}});
    for (const auto& [id, entry] : requests) {
        if (entry.monitorId != monitorId || entry.job != job || entry.transport != transport) continue;
        sent.push_back({{"id", id},
                        {"name", entry.request.name},
                        {"value", entry.request.value},
                        {"state", StateOf(entry)},
                        {"text", entry.text},
                        {"requested", milliseconds(entry.requested)}});
    }
    return {{"offered", std::move(offered)},
            {"requests", std::move(sent)},
            {"answerTime", answerTime.count()}};
}

void ipm_RequestBook::OnChange(std::function<void(std::int64_t)> listener) {
    std::lock_guard guard(lock);
    changed = std::move(listener);
}

void ipm_RequestBook::Announce(std::int64_t monitorId) {
    std::function<void(std::int64_t)> listener;
    {
        std::lock_guard guard(lock);
        listener = changed;
    }
    if (listener && monitorId > 0) listener(monitorId);
}
