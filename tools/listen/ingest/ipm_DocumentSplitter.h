#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Cuts the byte stream of one job into its name (the bytes before the first
// "<") and its message documents. A document is "<", its message type, ">",
// the fields, then "</", the same type, ">" and a line feed; the type runs to
// the first ">" and may hold blanks. Values inside a document are not always
// escaped, so a document need not be well-formed; only its end matters here. Memory stays bounded: a document longer than the cap is
// dropped and the stream is picked up again at a later line.
class ipm_DocumentSplitter {
public:
    struct Piece {
        enum class Kind { jobName, document, warning };
        Kind kind;
        std::string text;
    };

    static constexpr std::size_t defaultMaxDocument = 1024 * 1024;
    static constexpr std::size_t maxJobName = 4096;

    explicit ipm_DocumentSplitter(std::size_t maxDocument = defaultMaxDocument);

    // The pieces completed by `bytes`, in stream order. The job name comes
    // once, before the first document.
    std::vector<Piece> Feed(std::string_view bytes);

    // A warning when the stream ended inside a document, whose bytes are
    // then dropped; call once the stream has ended.
    std::optional<Piece> EndOfStream();

    // The message type of a document that starts with `document`: the text
    // between its "<" and the first ">"; none while that ">" has not come.
    static std::optional<std::string_view> TypeOf(std::string_view document);

    // The name as far as it has arrived; complete once HasJobName().
    const std::string& JobName() const { return jobName; }
    bool HasJobName() const { return state != State::readingName; }
    // Bytes held back waiting for the end of a document.
    std::size_t PendingBytes() const { return pending.size(); }

private:
    enum class State { readingName, betweenDocuments, inDocument, skippingLine };

    bool ReadName(std::size_t& at, std::vector<Piece>& pieces);
    bool FindDocumentStart(std::size_t& at, std::vector<Piece>& pieces);
    bool ReadDocument(std::size_t& at, std::vector<Piece>& pieces);
    bool SkipLine(std::size_t& at);
    void LoseSync(const std::string& why, std::vector<Piece>& pieces);

    std::size_t maxDocument;
    State state = State::readingName;
    std::string jobName;
    std::string pending;
    std::string endTag;
    std::size_t scannedTo = 0;
    bool resynchronising = false;
    bool nameCut = false;
};
