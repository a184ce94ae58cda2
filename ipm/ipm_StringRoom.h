#pragma once

#include <string>

#include "ipm/ipm_DocumentRoom.h"

// Room in a string that only grows, so a caller that keeps it allocates
// nothing per document once it holds the longest.
class ipm_StringRoom final : public ipm_DocumentRoom {
public:
    explicit ipm_StringRoom(std::string& storage) : storage(storage) {}

    char* Reserve(size_t longest) override {
        if (storage.size() < longest) storage.resize(longest);
        return storage.data();
    }

private:
    std::string& storage;
};
