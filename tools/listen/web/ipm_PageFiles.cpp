#include "tools/listen/web/ipm_PageFiles.h"

#include <zlib.h>

#include <cstdio>

#include "tools/listen/web/ipm_WebAsset.h"

namespace {

// The body gzip-compressed; empty when zlib fails.
std::string gzipCompressed(std::string_view body) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&stream, static_cast<uLong>(body.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    stream.avail_in = static_cast<uInt>(body.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.resize(done ? stream.total_out : 0);
    deflateEnd(&stream);
    return out;
}

std::string validator(std::string_view body) {
    const uLong sum = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    char tag[40];
    std::snprintf(tag, sizeof tag, "\"%08lx-%zx", sum, body.size());
    return tag;
}

// Sent as they are: the HTTP library compresses a body given as content
// (again, at its slowest setting), but not one given by a provider of known length.
void sendBytes(httplib::Response& response, std::string_view bytes, std::string_view contentType) {
    response.set_content_provider(bytes.size(), std::string(contentType),
                                  [bytes](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                      return sink.write(bytes.data() + offset, length);
                                  });
}

}  // namespace

ipm_PageFiles::File::File(std::string_view contentType, std::string_view body)
    : contentType(contentType), body(body), gzipped(gzipCompressed(body)), tag(validator(body)) {}

void ipm_PageFiles::Add(std::string path, std::string contentType, std::string body) {
    std::lock_guard guard(lock);
    files.insert_or_assign(std::move(path), File(contentType, body));
}

const ipm_PageFiles::File* ipm_PageFiles::Prepared(std::string_view path) {
    std::lock_guard guard(lock);
    if (const auto known = files.find(path); known != files.end()) return &known->second;
    const ipm_WebAsset* asset = ipm_findWebAsset(path);
    if (!asset) return nullptr;
    return &files.emplace(std::string(path), File(asset->contentType, asset->body)).first->second;
}

bool ipm_PageFiles::Answer(const httplib::Request& request, httplib::Response& response) {
    const File* file = Prepared(request.path);
    if (!file) return false;
    const bool compressed =
        !file->gzipped.empty() && request.get_header_value("Accept-Encoding").find("gzip") != std::string::npos;
    const std::string tag = file->tag + (compressed ? "-gz\"" : "\"");
    response.set_header("Cache-Control", "no-cache");
    response.set_header("ETag", tag);
    response.set_header("Vary", "Accept-Encoding");
    if (request.get_header_value("If-None-Match").find(tag) != std::string::npos) {
        response.status = 304;
        return true;
    }
    if (compressed) response.set_header("Content-Encoding", "gzip");
    sendBytes(response, compressed ? std::string_view(file->gzipped) : file->body, file->contentType);
    return true;
}
