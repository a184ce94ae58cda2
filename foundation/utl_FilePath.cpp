#include "foundation/utl_FilePath.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "foundation/impl/utl_platform.h"

utl_FilePath::utl_FilePath(cow_String fileName, cow_String directory)
    : fileName(std::move(fileName)), directory(std::move(directory)) {}

cow_String utl_FilePath::AbsolutePathName() const {
    const std::filesystem::path path = utl_pathFromText(directory.view()) / utl_pathFromText(fileName.view());
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return cow_String(std::string_view(utl_pathText(error ? path : absolute.lexically_normal())));
}
