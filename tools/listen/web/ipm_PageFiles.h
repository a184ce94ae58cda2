#pragma once

#include <httplib.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

// The monitor page's files as served: the built-in ones and those made at
// run time. Each is compressed once, not at every request, and carries a
// validator, so that a browser that reloads the page asks whether its copy
// is current and gets a bodiless 304 when it is.
class ipm_PageFiles {
public:
    // A file made at run time at `path`, served like the built-in ones; all
    // are added before the first request.
    void Add(std::string path, std::string contentType, std::string body);
    // Answers a request for one of the files; false when the page has none at its path.
    bool Answer(const httplib::Request& request, httplib::Response& response);

private:
    struct File {
        File(std::string_view contentType, std::string_view body);
        std::string contentType;
        std::string body;
        std::string gzipped;  // empty when compression failed
        std::string tag;      // the body's validator, without its closing quote
    };
    // The file at `path`, compressed at its first request; nullptr for none.
    // Files stay where they are once made.
    const File* Prepared(std::string_view path);

    std::mutex lock;
    std::map<std::string, File, std::less<>> files;
};
