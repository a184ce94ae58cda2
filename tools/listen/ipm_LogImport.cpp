#include "tools/listen/ipm_LogImport.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tools/listen/ipm_Console.h"
#include "tools/listen/ipm_DocumentSplitter.h"

std::int64_t ipm_LogImport::Run(ipm_Monitor& monitor, const std::string& file, const std::string& name,
                                std::size_t& messages) {
    std::ifstream log(file, std::ios::binary);
    if (!log) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    const std::string job = name.empty() ? std::filesystem::path(file).stem().string() : name;
    const std::int64_t id = monitor.JobConnected("file", job, std::filesystem::absolute(file).string());
    // The log starts with the first document: the splitter finds an empty name.
    ipm_DocumentSplitter splitter;
    char buffer[64 * 1024];
    messages = 0;
    while (log.read(buffer, sizeof buffer) || log.gcount() > 0) {
        for (const auto& piece : splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(log.gcount())))) {
            if (piece.kind == ipm_DocumentSplitter::Piece::Kind::warning) ipm_Console::Report("warning: " + piece.text);
            if (piece.kind != ipm_DocumentSplitter::Piece::Kind::document) continue;
            std::string error;
            const auto message = ipm_DocumentReader::Read(piece.text, error);
            if (!message) {
                ipm_Console::Report("warning: a document left out: " + error);
                continue;
            }
            monitor.MessageReceived(id, *message);
            ++messages;
        }
    }
    if (log.bad()) throw std::runtime_error("cannot read " + file + ": " + std::strerror(errno));
    if (const auto truncated = splitter.EndOfStream()) ipm_Console::Report("warning: " + file + ": " + truncated->text);
    monitor.JobEnded(id, true);
    return id;
}
