// The listener's stream cutting and document reading. Input: one control
// byte (bits 0-1 pick the document cap, bits 2-4 how many chunk-size bytes
// follow), the chunk sizes (each byte + 1, used in turn), then the job's
// byte stream. Each document cut out is read as a message. The cut must not
// depend on how the stream arrives as long as nothing is dropped, and what
// the splitter holds back stays within its cap.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/support/fuzz_sink.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/ingest/ipm_DocumentSplitter.h"

namespace {

using Piece = ipm_DocumentSplitter::Piece;

constexpr size_t documentCaps[] = {16, 64, 512, ipm_DocumentSplitter::defaultMaxDocument};

void CheckDocument(const std::string& document, size_t cap) {
    if (document.size() > cap || document.front() != '<' || document.back() != '\n') std::abort();
    std::string error;
    const auto message = ipm_DocumentReader::Read(document, error);
    if (!message) {
        if (error.empty()) std::abort();
        return;
    }
    fuzz_touch(message->type);
    for (const auto& field : message->fields) {
        fuzz_touch(field.name);
        fuzz_touch(field.type);
        fuzz_touch(field.value);
    }
}

struct Cut {
    std::vector<Piece> pieces;
    bool dropped = false;
};

Cut Split(std::string_view stream, std::span<const uint8_t> chunkSizes, size_t cap) {
    ipm_DocumentSplitter splitter(cap);
    Cut cut;
    for (size_t turn = 0; !stream.empty(); ++turn) {
        const size_t size = chunkSizes.empty() ? stream.size() : chunkSizes[turn % chunkSizes.size()] + 1u;
        const std::string_view chunk = stream.substr(0, std::min(size, stream.size()));
        stream.remove_prefix(chunk.size());
        for (Piece& piece : splitter.Feed(chunk)) {
            if (piece.kind == Piece::Kind::document) CheckDocument(piece.text, cap);
            cut.dropped = cut.dropped || piece.kind == Piece::Kind::warning;
            cut.pieces.push_back(std::move(piece));
        }
        if (splitter.PendingBytes() > cap || splitter.JobName().size() > ipm_DocumentSplitter::maxJobName)
            std::abort();
    }
    return cut;
}

bool SamePieces(const std::vector<Piece>& a, const std::vector<Piece>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Piece& x, const Piece& y) { return x.kind == y.kind && x.text == y.text; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t cap = documentCaps[data[0] & 3];
    const size_t sizeCount = std::min<size_t>((data[0] >> 2) & 7, size - 1);
    const std::span<const uint8_t> chunkSizes(data + 1, sizeCount);
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + sizeCount, size - 1 - sizeCount);

    const Cut whole = Split(stream, {}, cap);
    if (chunkSizes.empty()) return 0;
    const Cut pieces = Split(stream, chunkSizes, cap);
    if (!whole.dropped && !pieces.dropped && !SamePieces(whole.pieces, pieces.pieces)) std::abort();
    return 0;
}
