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

// Reads the log's documents into the monitor. The splitter is fed a line at
// a time, so that each document and warning comes with the line it starts on.
class Loader {
public:
    Loader(ipm_Monitor& monitor, std::string file, std::string name)
        : monitor(monitor), file(std::move(file)), name(std::move(name)) {}

    void Feed(std::string_view bytes) {
        while (!bytes.empty()) {
            const std::size_t end = bytes.find('\n');
            const std::string_view part = bytes.substr(0, end == std::string_view::npos ? bytes.size() : end + 1);
            bytes.remove_prefix(part.size());
            if (splitter.PendingBytes() == 0) pieceLine = line;
            for (const auto& piece : splitter.Feed(part)) Take(piece);
            if (part.back() == '\n') ++line;
        }
    }

    // The job, once a document has read; throws when none did.
    std::int64_t Finish() {
        if (const auto truncated = splitter.EndOfStream()) Problem(truncated->text);
        if (!job) Refuse(line == 1 && splitter.JobName().empty() ? "it is empty" : "it holds no message document");
        monitor.JobEnded(*job);
        return *job;
    }

    std::size_t messages = 0;

private:
    [[noreturn]] void Refuse(const std::string& why) const {
        throw std::runtime_error(file + " is not a message log: " + why + "; nothing imported");
    }

    // Before the first message a problem means that this is no log; after
    // it, the problem is reported with the file and line and the rest read.
    void Problem(const std::string& what) const {
        if (!job) Refuse("line " + std::to_string(pieceLine) + ": " + what);
        ipm_Console::Report("warning: " + file + ":" + std::to_string(pieceLine) + ": " + what);
    }

    void Take(const ipm_DocumentSplitter::Piece& piece) {
        if (!isBlank(splitter.JobName())) Refuse("line 1 is not a message document");
        if (piece.kind == ipm_DocumentSplitter::Piece::Kind::warning) Problem(piece.text);
        if (piece.kind != ipm_DocumentSplitter::Piece::Kind::document) return;
        std::string error;
        const auto message = ipm_DocumentReader::Read(piece.text, error);
        if (!message) {
            Problem("a document left out: " + error);
            return;
        }
        if (!job) {
            job = monitor.JobConnected(std::string(ipm_Vocabulary::file), name, std::filesystem::absolute(file).string());
            if (*job == 0) throw std::runtime_error("the history does not take the job; nothing imported");
        }
        monitor.MessageReceived(*job, *message);
        ++messages;
    }

    ipm_Monitor& monitor;
    std::string file;
    std::string name;
    ipm_DocumentSplitter splitter;
    std::size_t line = 1;
    std::size_t pieceLine = 1;
    std::optional<std::int64_t> job;
};

}  // namespace

std::int64_t ipm_LogImport::Run(ipm_Monitor& monitor, const std::string& file, const std::string& name,
                                std::size_t& messages) {
    const std::string digest = digestOf(file);
    if (const std::int64_t earlier = monitor.History().ImportedAs(digest)) {
        throw std::runtime_error(file + " was imported before, as job " + std::to_string(earlier) +
                                 " (the same content); nothing imported");
    }
    Loader loader(monitor, file, name.empty() ? std::filesystem::path(file).stem().string() : name);
    readBlocks(file, [&](std::string_view bytes) { loader.Feed(bytes); });
    const std::int64_t job = loader.Finish();
    messages = loader.messages;
    if (!monitor.History().Flush()) throw std::runtime_error("the history could not be written");
    monitor.History().RecordImport(digest, std::filesystem::absolute(file).string(), job);
    return job;
}
