#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One command of a job script, given as a JSON object on one line:
//   {"send":"buffered"|"direct","type":T,"format":F,"ints":[..],"doubles":[..],"texts":[..]}
//   {"sleep":MILLISECONDS}
//   {"close":true}
//   {"offer":{NAME:LABEL,..}}
//   {"answer":"done"|"refused"|"failed"|"none","text":T}
struct ipm_JobCommand {
    enum class Kind { SendBuffered, SendDirect, Sleep, Close, Offer, Answer };

    // Throws std::invalid_argument, saying what is wrong, for a line that is
    // not a valid command. A send whose format would consume more values of
    // some kind than the line gives is not valid.
    static ipm_JobCommand Parse(std::string_view line);

    // The texts as the library takes them; valid while `texts` is unchanged.
    std::vector<char*> TextPointers();

    Kind kind = Kind::Sleep;
    int milliseconds = 0;
    std::string type;
    std::string format;
    std::vector<int> integers;
    std::vector<double> doubles;
    std::vector<std::string> texts;
    // Offer: the requests in the order given.
    std::vector<std::pair<std::string, std::string>> offers;
    // Answer: "done", "refused", "failed", or "none" for a request taken and
    // left unanswered; the text is in `type`'s place, in `texts`[0].
    std::string outcome;
};
