#include "tools/listen/store/ipm_LogImport.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "tools/listen/ipm_Console.h"
#include "tools/listen/ingest/ipm_DocumentSplitter.h"
#include "tools/listen/store/ipm_Vocabulary.h"

namespace {

std::ifstream openLog(const std::string& file) {
    std::ifstream log(file, std::ios::binary);
    if (!log) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    return log;
}

// Calls `read(bytes)` for each block of the file.
template <class Read>
void readBlocks(const std::string& file, Read read) {
    std::ifstream log = openLog(file);
    char buffer[64 * 1024];
    while (log.read(buffer, sizeof buffer) || log.gcount() > 0)
        read(std::string_view(buffer, static_cast<std::size_t>(log.gcount())));
    if (log.bad()) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
}

// The SHA-256 of the file's content, in hex: the same log is the same
// content wherever it lies.
std::string digestOf(const std::string& file) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("no SHA-256");
    readBlocks(file, [&](std::string_view bytes) { EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()); });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) text += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return text;
}

bool isBlank(std::string_view text) { return text.find_first_not_of(" \t\r\n") == std::string_view::npos; }

}  // namespace

ipm_LogImport::ipm_LogImport(ipm_Monitor& monitor, const std::string& file, const std::string& name)
    : monitor(monitor),
      file(file),
      path(std::filesystem::absolute(file).string()),
      digest(digestOf(file)),
      log(openLog(file)) {
    if (const std::int64_t earlier = monitor.History().ImportedAs(digest)) {
        throw std::runtime_error(file + " was imported before, as job " + std::to_string(earlier) +
                                 " (the same content); nothing imported");
    }
    job.name = name.empty() ? std::filesystem::path(file).stem().string() : name;
}

void ipm_LogImport::Settle(Events& events) {
    if (finished) return;
    if (log.read(block.data(), static_cast<std::streamsize>(block.size())) || log.gcount() > 0) {
        Feed(std::string_view(block.data(), static_cast<std::size_t>(log.gcount())), events);
        return;
    }
    if (log.bad()) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    Finish(events);
}

std::string ipm_LogImport::Send(Job& /*job*/, const std::string& /*request*/) {
    return "an imported log is not a running job";
}

// The splitter is fed a line at a time, so that each document and warning
// comes with the line it starts on.
void ipm_LogImport::Feed(std::string_view bytes, Events& events) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view part = bytes.substr(0, end == std::string_view::npos ? bytes.size() : end + 1);
        bytes.remove_prefix(part.size());
        if (splitter.PendingBytes() == 0) pieceLine = line;
        for (const auto& piece : splitter.Feed(part)) Take(piece, events);
        if (part.back() == '\n') ++line;
    }
}

void ipm_LogImport::Take(const ipm_DocumentSplitter::Piece& piece, Events& events) {
    if (!isBlank(splitter.JobName())) Refuse("line 1 is not a message document");
    if (piece.kind == ipm_DocumentSplitter::Piece::Kind::warning) Problem(piece.text);
    if (piece.kind != ipm_DocumentSplitter::Piece::Kind::document) return;
    std::string error;
    const auto message = ipm_DocumentReader::Read(piece.text, error);
    if (!message) {
        Problem("a document left out: " + error);
        return;
    }
    if (!connected) {
        events.Connected(*this, job, path);
        connected = true;
        if (job.monitorId == 0) throw std::runtime_error("the history does not take the job; nothing imported");
    }
    events.Report(job, piece.text, *message);
}

void ipm_LogImport::Finish(Events& events) {
    if (const auto truncated = splitter.EndOfStream()) Problem(truncated->text);
    if (!connected) Refuse(line == 1 && splitter.JobName().empty() ? "it is empty" : "it holds no message document");
    events.Ended(job, "");
    finished = true;
    if (!monitor.History().Flush()) throw std::runtime_error("the history could not be written");
    monitor.History().RecordImport(digest, path, job.monitorId);
}

void ipm_LogImport::Problem(const std::string& what) const {
    if (!connected) Refuse("line " + std::to_string(pieceLine) + ": " + what);
    ipm_Console::Report("warning: " + file + ":" + std::to_string(pieceLine) + ": " + what);
}

void ipm_LogImport::Refuse(const std::string& why) const {
    throw std::runtime_error(file + " is not a message log: " + why + "; nothing imported");
}
