#pragma once

// The system's socket interface, as the socket classes and their users see
// it: Windows Sockets 2, with the few BSD names the classes use.
#include <winsock2.h>
#include <ws2tcpip.h>

using in_addr_t = u_long;

constexpr int SHUT_RD = SD_RECEIVE;
constexpr int SHUT_WR = SD_SEND;
constexpr int SHUT_RDWR = SD_BOTH;
