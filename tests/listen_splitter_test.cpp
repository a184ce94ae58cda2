#include "tools/listen/ipm_DocumentSplitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Piece = ipm_DocumentSplitter::Piece;
using Kind = Piece::Kind;

const std::string progress =
    "<Progress><step type=\"integer\">3</step><jobName type=\"string\">beam</jobName></Progress>\n";
const std::string done = "<Done><jobName type=\"string\">beam</jobName></Done>\n";

std::vector<Piece> feedInChunks(ipm_DocumentSplitter& splitter, const std::string& bytes, std::size_t chunk) {
    std::vector<Piece> all;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        for (auto& piece : splitter.Feed(std::string_view(bytes).substr(at, chunk))) all.push_back(std::move(piece));
    }
    return all;
}

std::vector<std::string> texts(const std::vector<Piece>& pieces, Kind kind) {
    std::vector<std::string> selected;
    for (const auto& piece : pieces) {
        if (piece.kind == kind) selected.push_back(piece.text);
    }
    return selected;
}

using Texts = std::vector<std::string>;

TEST(ListenSplitter, NameThenDocumentsWhateverTheChunking) {
    for (const std::size_t chunk : {1, 2, 7, 64, 100000}) {
        ipm_DocumentSplitter splitter;
        const auto pieces = feedInChunks(splitter, "beam" + progress + done, chunk);
        ASSERT_EQ(pieces.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(pieces[0].kind, Kind::jobName);
        EXPECT_EQ(pieces[0].text, "beam");
        EXPECT_EQ(texts(pieces, Kind::document), (Texts{progress, done})) << "chunk " << chunk;
        EXPECT_EQ(splitter.PendingBytes(), 0u);
    }
}

TEST(ListenSplitter, NameIsKnownAsFarAsItArrived) {
    ipm_DocumentSplitter splitter;
    EXPECT_TRUE(splitter.Feed("be").empty());
    EXPECT_TRUE(splitter.Feed("am").empty());
    EXPECT_EQ(splitter.JobName(), "beam");
    EXPECT_FALSE(splitter.HasJobName());
    EXPECT_EQ(texts(splitter.Feed("<"), Kind::jobName), Texts{"beam"});
    EXPECT_TRUE(splitter.HasJobName());

    ipm_DocumentSplitter unnamed;
    const auto pieces = unnamed.Feed(done);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].kind, Kind::jobName);
    EXPECT_EQ(pieces[0].text, "");
    EXPECT_EQ(pieces[1].text, done);
}

TEST(ListenSplitter, ManyDocumentsInOneChunk) {
    std::string stream = "beam";
    for (int i = 0; i < 500; ++i) stream += i % 2 ? progress : done;
    ipm_DocumentSplitter splitter;
    const auto documents = texts(splitter.Feed(stream), Kind::document);
    ASSERT_EQ(documents.size(), 500u);
    EXPECT_EQ(documents[0], done);
    EXPECT_EQ(documents[499], progress);
}

TEST(ListenSplitter, UnescapedValuesDoNotMoveTheCut) {
    const std::string lessThan = "<Error><message type=\"string\">a<b && c</message></Error>\n";
    const std::string endTagInValue = "<Progress><message type=\"string\">see </Progress> here</message></Progress>\n";
    const std::string lineFeedInValue = "<Note><message type=\"string\">one\n<two>\n</message></Note>\n";
    ipm_DocumentSplitter splitter;
    const auto pieces = feedInChunks(splitter, "beam" + lessThan + endTagInValue + lineFeedInValue + done, 3);
    EXPECT_EQ(texts(pieces, Kind::document), (Texts{lessThan, endTagInValue, lineFeedInValue, done}));
    EXPECT_TRUE(texts(pieces, Kind::warning).empty());
}

TEST(ListenSplitter, EndTagAndLineFeedInsideAValueCutEarlyButTheNextDocumentSurvives) {
    ipm_DocumentSplitter splitter;
    const auto pieces =
        splitter.Feed("beam<Progress><message type=\"string\">x</Progress>\n</message></Progress>\n" + done);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[1].text, "<Progress><message type=\"string\">x</Progress>\n");
    EXPECT_EQ(pieces[2].kind, Kind::warning);
    EXPECT_EQ(pieces[3].kind, Kind::document);
    EXPECT_EQ(pieces[3].text, done);
}

TEST(ListenSplitter, BytesBetweenDocuments) {
    ipm_DocumentSplitter tolerant;
    EXPECT_EQ(texts(tolerant.Feed("beam" + progress + "\r\n \n" + done), Kind::document), (Texts{progress, done}));

    ipm_DocumentSplitter splitter;
    const auto pieces = feedInChunks(splitter, "beam" + progress + "junk\n</x>\nmore junk\n<" + "\n" + done, 5);
    EXPECT_EQ(texts(pieces, Kind::document), (Texts{progress, done}));
    EXPECT_EQ(texts(pieces, Kind::warning).size(), 1u) << "one warning per loss of the thread";
}

TEST(ListenSplitter, EndlessBytesAreCappedAndTheStreamRecovers) {
    constexpr std::size_t cap = 1024;
    ipm_DocumentSplitter splitter(cap);
    std::vector<Piece> pieces = splitter.Feed("beam<Progress><message type=\"string\">");
    const std::string chunk(100, 'x');
    for (int i = 0; i < 1000; ++i) {
        for (auto& piece : splitter.Feed(chunk)) pieces.push_back(std::move(piece));
        ASSERT_LE(splitter.PendingBytes(), cap + chunk.size());
    }
    EXPECT_EQ(texts(pieces, Kind::warning).size(), 1u);
    EXPECT_TRUE(texts(pieces, Kind::document).empty());
    EXPECT_EQ(texts(splitter.Feed("</message></Progress>\n" + progress), Kind::document), Texts{progress});

    ipm_DocumentSplitter unbroken(cap);
    const auto tooLong = "<Note><message type=\"string\">" + std::string(2 * cap, 'y') + "</message></Note>\n";
    const auto dropped = unbroken.Feed("beam" + tooLong + done);
    EXPECT_EQ(texts(dropped, Kind::warning).size(), 1u);
    EXPECT_EQ(texts(dropped, Kind::document), Texts{done});
}

TEST(ListenSplitter, DefaultCapHoldsAgainstAnEndlessDocument) {
    ipm_DocumentSplitter splitter;
    splitter.Feed("beam<Progress>");
    const std::string chunk(64 * 1024, 'z');
    std::size_t warnings = 0;
    for (int i = 0; i < 40; ++i) {
        warnings += texts(splitter.Feed(chunk), Kind::warning).size();
        ASSERT_LE(splitter.PendingBytes(), ipm_DocumentSplitter::defaultMaxDocument + chunk.size());
    }
    EXPECT_EQ(warnings, 1u);
    EXPECT_EQ(texts(splitter.Feed("\n" + done), Kind::document), Texts{done});
}

TEST(ListenSplitter, OverlongNameIsCutShort) {
    ipm_DocumentSplitter splitter;
    std::vector<Piece> pieces;
    for (int i = 0; i < 10; ++i) {
        for (auto& piece : splitter.Feed(std::string(1000, 'n'))) pieces.push_back(std::move(piece));
    }
    for (auto& piece : splitter.Feed(done)) pieces.push_back(std::move(piece));
    EXPECT_EQ(texts(pieces, Kind::warning).size(), 1u);
    EXPECT_EQ(texts(pieces, Kind::jobName), Texts{std::string(ipm_DocumentSplitter::maxJobName, 'n')});
    EXPECT_EQ(texts(pieces, Kind::document), Texts{done});
}

}  // namespace
