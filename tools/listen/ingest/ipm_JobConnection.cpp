#include "tools/listen/ingest/ipm_JobConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "jcl/jcl_Message.h"

namespace {

constexpr std::size_t readSize = 64 * 1024;

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

ipm_JobConnection::ipm_JobConnection(int descriptor, std::string peer) : descriptor(descriptor), peer(std::move(peer)) {}

ipm_JobConnection::~ipm_JobConnection() { ::close(descriptor); }

bool ipm_JobConnection::Receive(std::vector<ipm_DocumentSplitter::Piece>& pieces, std::string& why) {
    char buffer[readSize];
    const ssize_t count = ::recv(descriptor, buffer, sizeof buffer, 0);
    if (count > 0) {
        pieces = splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(count)));
        return true;
    }
    if (count < 0 && wouldBlock(errno)) return true;
    why = count == 0 ? "" : std::strerror(errno);
    if (auto truncated = splitter.EndOfStream()) pieces.push_back(std::move(*truncated));
    return false;
}

void ipm_JobConnection::QueueKill() { outgoing += jcl_Message::killRequest; }

void ipm_JobConnection::QueueRequest(const ipm_Request& request) { outgoing += request.Element(); }

bool ipm_JobConnection::Flush(std::string& why) {
    while (!outgoing.empty()) {
        // MSG_NOSIGNAL: a job gone before its kill request must not take the
        // listener with it.
        const ssize_t sent = ::send(descriptor, outgoing.data(), outgoing.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (wouldBlock(errno)) return true;
            why = std::strerror(errno);
            outgoing.clear();
            return false;
        }
        outgoing.erase(0, static_cast<std::size_t>(sent));
    }
    return true;
}
