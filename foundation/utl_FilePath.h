#pragma once

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// A file name in a directory. An empty directory means the current one; a
// relative directory is taken from the current one.
class IPM_EXPORT utl_FilePath {
public:
    utl_FilePath(cow_String fileName, cow_String directory);

    cow_String AbsolutePathName() const;

private:
    cow_String fileName;
    cow_String directory;
};
