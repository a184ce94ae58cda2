#pragma once

#include <string>
#include <string_view>
#include <vector>

// One command of a job script, given as a JSON object on one line:
//   {"send":"buffered"|"direct","type":T,"format":F,"ints":[..],"doubles":[..],"texts":[..]}
//   {"sleep":MILLISECONDS}
//   {"close":true}
struct ipm_JobCommand {
    enum class Kind { SendBuffered, SendDirect, Sleep, Close };

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
};
