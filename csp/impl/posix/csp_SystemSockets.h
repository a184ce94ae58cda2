#pragma once

// The system's socket interface, as the socket classes and their users see
// it: BSD sockets.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
