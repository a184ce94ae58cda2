// The incremental XML stream fed in pieces. Input: one control byte (bit 0:
// stanza depth 1 or 2; bits 1-3: how many chunk-size bytes follow), the
// chunk sizes (each byte + 1, used in turn), then the stream's bytes. Each
// chunk is written to the stream's socket and taken by one Read. Stanzas
// must come out the same whatever the cut, as long as no zero byte cuts a
// read short.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "csp/csp_TcpSocket.h"
#include "foundation/cow_ConstMapIterator.h"
#include "fuzz/support/fuzz_SocketPair.h"
#include "fuzz/support/fuzz_sink.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Stream.h"

namespace {

constexpr size_t readSize = 2000;

// Walks the whole tree; every child must point back at its own parent.
void TouchNode(const jcl_Node& node) {
    fuzz_touch(node.tagName);
    fuzz_touch(node.text);
    for (cow_ConstMapIterator<cow_String, cow_String> attribute(node.attributes); !attribute.IsDone();
         attribute.Next()) {
        fuzz_touch(attribute.Key());
        fuzz_touch(attribute.Value());
    }
    for (const jcl_Node& child : node.children) {
        if (child.parent != &node || child.isRoot) std::abort();
        TouchNode(child);
    }
}

class RecordingStream : public jcl_Stream {
public:
    RecordingStream(const csp_TcpSocket& socket, int stanzaDepth, std::string& record)
        : jcl_Stream("127.0.0.1", 5222, stanzaDepth, socket), record(record) {}

    void HandleStanza(jcl_Node& stanza) override {
        if (!stanza.isRoot || stanza.parent) std::abort();
        TouchNode(stanza);
        record.append(stanza.Serialize().view());
        record += '\0';
    }

private:
    std::string& record;
};

// Every stanza handed over, serialised, in order.
std::string Stanzas(std::span<const uint8_t> bytes, std::span<const uint8_t> chunkSizes, int stanzaDepth) {
    std::string record;
    fuzz_SocketPair pair;
    csp_TcpSocket local(pair.TakeLocal());
    local.setToAutoClose(false);
    {
        RecordingStream stream(local, stanzaDepth, record);
        for (size_t turn = 0; !bytes.empty(); ++turn) {
            const size_t size = chunkSizes.empty() ? readSize : chunkSizes[turn % chunkSizes.size()] + 1u;
            const auto chunk = bytes.first(std::min(size, bytes.size()));
            pair.Send(chunk);
            if (stream.Read() != static_cast<int>(chunk.size())) std::abort();
            bytes = bytes.subspan(chunk.size());
        }
        // The stream's farewell then meets the end of the stream at once.
        pair.ClosePeer();
    }
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_silenceConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int stanzaDepth = 1 + (data[0] & 1);
    const size_t sizeCount = std::min<size_t>((data[0] >> 1) & 7, size - 1);
    const std::span<const uint8_t> chunkSizes(data + 1, sizeCount);
    const std::span<const uint8_t> bytes(data + 1 + sizeCount, size - 1 - sizeCount);

    const std::string cut = Stanzas(bytes, chunkSizes, stanzaDepth);
    if (chunkSizes.empty() || std::memchr(bytes.data(), 0, bytes.size())) return 0;
    if (cut != Stanzas(bytes, {}, stanzaDepth)) std::abort();
    return 0;
}
