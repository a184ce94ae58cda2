#include "csp/csp_SocketAddress.h"

#include "csp_SystemSockets.h"

namespace {
std::unique_ptr<sockaddr_in> makeRecord(const csp_IpAddress& ip, int port) {
    auto record = std::make_unique<sockaddr_in>();
    record->sin_family = AF_INET;
    record->sin_port = htons(static_cast<uint16_t>(port));
    record->sin_addr = ip;
    return record;
}
}  // namespace

csp_SocketAddress::csp_SocketAddress(int port) : record(makeRecord(csp_IpAddress(), port)) {}

csp_SocketAddress::csp_SocketAddress(const csp_IpAddress& ip, int port) : record(makeRecord(ip, port)) {}

csp_SocketAddress::csp_SocketAddress(const sockaddr_in& source) : record(std::make_unique<sockaddr_in>(source)) {}

csp_SocketAddress::csp_SocketAddress(const csp_SocketAddress& other)
    : record(std::make_unique<sockaddr_in>(*other.record)) {}

csp_SocketAddress::~csp_SocketAddress() = default;

csp_SocketAddress& csp_SocketAddress::operator=(const csp_SocketAddress& other) { return *this = *other.record; }

csp_SocketAddress& csp_SocketAddress::operator=(const sockaddr_in& source) {
    *record = source;
    return *this;
}

bool csp_SocketAddress::isDefined() const { return record->sin_port != 0; }

int csp_SocketAddress::getPort() const { return ntohs(record->sin_port); }

void csp_SocketAddress::setPort(int port) { record->sin_port = htons(static_cast<uint16_t>(port)); }

csp_IpAddress csp_SocketAddress::getIpAddress() const { return csp_IpAddress(record->sin_addr); }

void csp_SocketAddress::setIpAddress(const csp_IpAddress& ip) { record->sin_addr = ip; }

int csp_SocketAddress::getFamily() const { return record->sin_family; }

csp_SocketAddress::operator sockaddr_in() const { return *record; }

cow_String csp_SocketAddress::toString() const {
    cow_String text("SocketAddress( ");
    text += getIpAddress().toString();
    text.append(", port ");
    text += cow_String(getPort());
    return text.append(" )");
}

std::string csp_SocketAddress::host() const {
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &record->sin_addr, dotted, sizeof dotted);
    return dotted;
}

std::string csp_SocketAddress::hostAndPort() const { return host() + ":" + std::to_string(getPort()); }

aio_ostream& operator<<(aio_ostream& stream, const csp_SocketAddress& address) { return stream << address.toString(); }
