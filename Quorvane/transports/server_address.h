// The socket address of an upstream server: a zeroed 128-byte
// sockaddr_storage with the server's family, port (network order) and
// address bytes.
#pragma once

#include <sys/socket.h>

#include "Quorvane/config/dns_server.h"

sockaddr_storage ServerSocketAddress(const CDnsServer& server);
