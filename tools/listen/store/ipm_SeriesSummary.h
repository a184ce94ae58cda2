#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The numeric fields of each job summarised per span of its messages, so
// that a chart of any range reads a few thousand rows whatever the job's
// size. A job's n-th message (from 1) falls in span (n - 1) / Length(level)
// of each level; level 1 spans `firstLength` messages, each level above
// `factor` times more. A span is given out once its last message is taken
// in, with the lowest and highest value of each field it holds. Fed in the
// order the history stores messages, on one thread.
class ipm_SeriesSummary {
public:
    // Spans of 16 cost the history's writer a row for every few messages,
    // more than all else it stores; a range of fewer than 2,000 messages is
    // charted from the messages themselves anyway.
    static constexpr std::int64_t firstLength = 64;
    static constexpr std::int64_t factor = 4;
    static constexpr int maxLevel = 12;

    using Numbers = std::vector<std::pair<std::string, double>>;

    // A message that holds one extreme of a span: its number in the job,
    // its arrival and the value.
    struct Point {
        std::int64_t number = 0;
        std::int64_t time = 0;
        double value = 0;
    };
    struct Span {
        std::int64_t job = 0;
        std::string field;
        int level = 1;
        std::int64_t index = 0;
        // The ids and arrivals of the span's first and last messages.
        std::int64_t firstId = 0, lastId = 0, firstTime = 0, lastTime = 0;
        Point low, high;
    };
    // How far a job's complete level-1 spans reach: their number, and the
    // id of their last message.
    struct Extent {
        std::int64_t spans = 0;
        std::int64_t lastId = 0;
    };

    static std::int64_t Length(int level);

    // Takes the job's next message in; the spans it completes go to `done`,
    // and the job's extent to `extents` when a level-1 span completes.
    void Add(std::int64_t job, std::int64_t id, std::int64_t time, const Numbers& numbers, std::vector<Span>& done,
             std::map<std::int64_t, Extent>& extents);
    // The job has ended: its open spans are not needed any more.
    void Forget(std::int64_t job);

private:
    struct Extremes {
        std::string field;
        bool any = false;
        Point low, high;
        void Add(const Point& point);
    };
    // The open span of one level.
    struct Open {
        std::int64_t firstId = 0, firstTime = 0;
        std::vector<Extremes> fields;
        Extremes& Of(const std::string& field);
    };
    struct Job {
        std::int64_t count = 0;
        std::vector<Open> levels;
    };

    // Closes the open spans that message `number` completes, from level 1 up.
    static void Close(std::int64_t jobId, Job& job, std::int64_t id, std::int64_t time, std::vector<Span>& done);

    std::map<std::int64_t, Job> jobs;
};
