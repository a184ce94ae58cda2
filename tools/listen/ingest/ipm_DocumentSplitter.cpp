#include "tools/listen/ingest/ipm_DocumentSplitter.h"

#include <algorithm>

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A message type may be any text without ">", so only what can never begin a
// type (an end tag, a declaration, a blank) tells a document's start apart.
bool canStartType(char c) { return !isBlank(c) && c != '/' && c != '!' && c != '?' && c != '<' && c != '>'; }

}  // namespace

ipm_DocumentSplitter::ipm_DocumentSplitter(std::size_t maxDocument) : maxDocument(maxDocument) {}

std::vector<ipm_DocumentSplitter::Piece> ipm_DocumentSplitter::Feed(std::string_view bytes) {
    std::vector<Piece> pieces;
    pending.append(bytes);
    std::size_t at = 0;
    bool progressing = true;
    while (progressing && at < pending.size()) {
        switch (state) {
            case State::readingName: progressing = ReadName(at, pieces); break;
            case State::betweenDocuments: progressing = FindDocumentStart(at, pieces); break;
            case State::inDocument: progressing = ReadDocument(at, pieces); break;
            case State::skippingLine: progressing = SkipLine(at); break;
        }
    }
    pending.erase(0, at);
    return pieces;
}

bool ipm_DocumentSplitter::ReadName(std::size_t& at, std::vector<Piece>& pieces) {
    const std::size_t open = std::min(pending.find('<', at), pending.size());
    const std::size_t room = maxJobName - jobName.size();
    const std::size_t length = open - at;
    if (length > room && !nameCut) {
        nameCut = true;
        pieces.push_back({Piece::Kind::warning,
                          "job name longer than " + std::to_string(maxJobName) + " bytes cut short"});
    }
    jobName.append(pending, at, std::min(length, room));
    at = open;
    if (open == pending.size()) return false;
    state = State::betweenDocuments;
    pieces.push_back({Piece::Kind::jobName, jobName});
    return true;
}

bool ipm_DocumentSplitter::FindDocumentStart(std::size_t& at, std::vector<Piece>& pieces) {
    while (at < pending.size() && isBlank(pending[at])) ++at;
    if (at == pending.size()) return false;
    if (pending[at] == '<') {
        if (at + 1 == pending.size()) return false;
        if (canStartType(pending[at + 1])) {
            state = State::inDocument;
            return true;
        }
    }
    LoseSync("bytes outside a document skipped up to the next line", pieces);
    return true;
}

bool ipm_DocumentSplitter::ReadDocument(std::size_t& at, std::vector<Piece>& pieces) {
    if (endTag.empty()) {
        // The type runs to the first ">"; bytes already searched are not searched again.
        const std::size_t close = pending.find('>', at + std::max<std::size_t>(scannedTo, 1));
        if (close != std::string::npos) {
            endTag = "</" + pending.substr(at + 1, close - at - 1) + ">\n";
            scannedTo = close + 1 - at;
        } else {
            scannedTo = pending.size() - at;
        }
    }
    const std::size_t end = endTag.empty() ? std::string::npos : pending.find(endTag, at + scannedTo);
    if (end == std::string::npos) {
        const std::size_t held = pending.size() - at;
        if (held > maxDocument) {
            at = pending.size();
            LoseSync("document of more than " + std::to_string(maxDocument) +
                         " bytes without its end dropped; skipping to the next line",
                     pieces);
            return false;
        }
        if (!endTag.empty() && held >= endTag.size()) scannedTo = std::max(scannedTo, held - endTag.size() + 1);
        return false;
    }
    const std::size_t length = end + endTag.size() - at;
    if (length > maxDocument) {
        pieces.push_back({Piece::Kind::warning,
                          "document of " + std::to_string(length) + " bytes dropped (more than " +
                              std::to_string(maxDocument) + ")"});
    } else {
        pieces.push_back({Piece::Kind::document, pending.substr(at, length)});
    }
    at += length;
    endTag.clear();
    scannedTo = 0;
    resynchronising = false;
    state = State::betweenDocuments;
    return true;
}

std::optional<std::string_view> ipm_DocumentSplitter::TypeOf(std::string_view document) {
    const std::size_t close = document.find('>');
    if (!document.starts_with('<') || close == std::string_view::npos) return std::nullopt;
    return document.substr(1, close - 1);
}

std::optional<ipm_DocumentSplitter::Piece> ipm_DocumentSplitter::EndOfStream() {
    const bool inside = state == State::inDocument || state == State::betweenDocuments;
    if (!inside || pending.empty()) return std::nullopt;
    const std::size_t held = pending.size();
    pending.clear();
    endTag.clear();
    scannedTo = 0;
    state = State::betweenDocuments;
    return Piece{Piece::Kind::warning,
                 "it ends inside a document: " + std::to_string(held) + " bytes left out"};
}

bool ipm_DocumentSplitter::SkipLine(std::size_t& at) {
    const std::size_t lineFeed = pending.find('\n', at);
    if (lineFeed == std::string::npos) {
        at = pending.size();
        return false;
    }
    at = lineFeed + 1;
    state = State::betweenDocuments;
    return true;
}

void ipm_DocumentSplitter::LoseSync(const std::string& why, std::vector<Piece>& pieces) {
    if (!resynchronising) pieces.push_back({Piece::Kind::warning, why});
    resynchronising = true;
    endTag.clear();
    scannedTo = 0;
    state = State::skippingLine;
}
