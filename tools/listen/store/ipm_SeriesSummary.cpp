#include "tools/listen/store/ipm_SeriesSummary.h"

std::int64_t ipm_SeriesSummary::Length(int level) {
    std::int64_t length = firstLength;
    for (int above = 1; above < level; ++above) length *= factor;
    return length;
}

void ipm_SeriesSummary::Extremes::Add(const Point& point) {
    // Ties keep the earliest message.
    if (!any || point.value < low.value) low = point;
    if (!any || point.value > high.value) high = point;
    any = true;
}

ipm_SeriesSummary::Extremes& ipm_SeriesSummary::Open::Of(const std::string& field) {
    for (Extremes& extremes : fields) {
        if (extremes.field == field) return extremes;
    }
    fields.push_back({field, false, {}, {}});
    return fields.back();
}

void ipm_SeriesSummary::Add(std::int64_t jobId, std::int64_t id, std::int64_t time, const Numbers& numbers,
                            std::vector<Span>& done, std::map<std::int64_t, Extent>& extents) {
    Job& job = jobs[jobId];
    const std::int64_t number = ++job.count;
    if (job.levels.empty()) job.levels.emplace_back();
    Open& first = job.levels.front();
    if ((number - 1) % firstLength == 0) first.firstId = id, first.firstTime = time;
    for (const auto& [field, value] : numbers) first.Of(field).Add({number, time, value});
    if (number % firstLength != 0) return;
    extents[jobId] = {number / firstLength, id};
    Close(jobId, job, id, time, done);
}

void ipm_SeriesSummary::Close(std::int64_t jobId, Job& job, std::int64_t id, std::int64_t time,
                              std::vector<Span>& done) {
    const std::int64_t number = job.count;
    for (int level = 1; level <= maxLevel && number % Length(level) == 0; ++level) {
        const bool top = level == maxLevel;
        if (!top && job.levels.size() == static_cast<std::size_t>(level)) job.levels.emplace_back();
        Open& open = job.levels[static_cast<std::size_t>(level - 1)];
        for (Extremes& extremes : open.fields) {
            if (!extremes.any) continue;
            done.push_back({jobId, extremes.field, level, (number - 1) / Length(level), open.firstId, id,
                            open.firstTime, time, extremes.low, extremes.high});
            if (!top) {
                Open& parent = job.levels[static_cast<std::size_t>(level)];
                Extremes& above = parent.Of(extremes.field);
                above.Add(extremes.low);
                above.Add(extremes.high);
            }
            extremes.any = false;
        }
        if (!top) {
            Open& parent = job.levels[static_cast<std::size_t>(level)];
            if ((number - Length(level)) % Length(level + 1) == 0) {
                parent.firstId = open.firstId, parent.firstTime = open.firstTime;
            }
        }
    }
}

void ipm_SeriesSummary::Forget(std::int64_t job) { jobs.erase(job); }
