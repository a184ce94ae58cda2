#pragma once

#include <cstddef>

// Where an encoder writes a document: asked once per document, before any
// byte is written, for room for the longest the document can be.
class ipm_DocumentRoom {
public:
    virtual ~ipm_DocumentRoom() = default;
    // At least `longest` writable bytes, valid until the document is taken
    // from there; throws std::bad_alloc when there is no such room.
    virtual char* Reserve(size_t longest) = 0;
};
