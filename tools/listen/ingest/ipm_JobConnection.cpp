#include "tools/listen/ingest/ipm_JobConnection.h"

#include <utility>

namespace {

constexpr int readSize = 64 * 1024;

}  // namespace

ipm_JobConnection::ipm_JobConnection(csp_TcpSocket socket, std::string peer)
    : socket(std::move(socket)), peer(std::move(peer)) {}

bool ipm_JobConnection::Receive(std::vector<ipm_DocumentSplitter::Piece>& pieces, std::string& why) {
    char buffer[readSize];
    const int count = socket.readAvailable(buffer, readSize, why);
    if (count > 0) {
        pieces = splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(count)));
        name = splitter.JobName();
        return true;
    }
    if (count < 0 && why.empty()) return true;
    if (auto truncated = splitter.EndOfStream()) pieces.push_back(std::move(*truncated));
    return false;
}

bool ipm_JobConnection::Flush(std::string& why) {
    while (!outgoing.empty()) {
        const int sent = socket.writeAvailable(outgoing.data(), static_cast<int>(outgoing.size()), why);
        if (sent < 0) {
            outgoing.clear();
            return false;
        }
        if (sent == 0) return true;
        outgoing.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}
