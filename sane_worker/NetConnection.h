#pragma once
#include <QString>
#include <sys/socket.h>
#include <vector>

// A look at the connection between SANE's net backend and a saned host. The net backend of
// sane-backends 1.2.1 does not check its control connection before a call such as sane_start:
// on a connection the other end has closed it decodes a reply that never came and frees
// pointers it never set (a crash). So before such a call the layer asks whether that
// connection has been closed, and reports an I/O error instead of making it.

namespace netconnection {

/// The addresses of the saned host of a net device ("net:HOST:backend:device", an IPv6 host
/// in brackets); empty for any other device or a host that does not resolve. May ask DNS.
std::vector<sockaddr_storage> hostAddresses(const QString& deviceName);

/// True when this process has a connection to the saned port of one of `host` and the other
/// end has closed it. Looks at the process's open sockets; no network traffic, no waiting.
bool closedByPeer(const std::vector<sockaddr_storage>& host);

} // namespace netconnection
