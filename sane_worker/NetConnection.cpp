#include "sane_worker/NetConnection.h"
#include <QByteArray>
#include <cstring>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>

namespace netconnection {

namespace {

// The port the net backend connects to: the services entry sane-port, as it looks it up.
uint16_t sanePort() {
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    if (getservbyname_r("sane-port", "tcp", &entry, buffer, sizeof buffer, &found) == 0 && found)
        return ntohs(uint16_t(found->s_port));
    return 6566;
}

bool sameHost(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr,
                           sizeof(in6_addr)) == 0;
    return false;
}

uint16_t portOf(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return 0;
}

// An idle control connection has nothing to read: saned speaks only when asked. Readable
// means the end of the stream (or an error) is waiting.
bool peerClosed(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & (POLLRDHUP | POLLHUP | POLLERR))
        return true;
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

} // namespace

std::vector<sockaddr_storage> hostAddresses(const QString& deviceName) {
    std::vector<sockaddr_storage> found;
    if (!deviceName.startsWith(QLatin1String("net:")))
        return found;
    QString rest = deviceName.mid(4);
    QString host;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return found;
        host = rest.mid(1, close - 1);
    } else {
        host = rest.left(rest.indexOf(QLatin1Char(':')));
    }
    if (host.isEmpty())
        return found;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &list) != 0)
        return found;
    for (addrinfo* a = list; a; a = a->ai_next) {
        sockaddr_storage s{};
        std::memcpy(&s, a->ai_addr, std::min<size_t>(a->ai_addrlen, sizeof s));
        found.push_back(s);
    }
    freeaddrinfo(list);
    return found;
}

bool closedByPeer(const std::vector<sockaddr_storage>& host) {
    if (host.empty())
        return false;
    const uint16_t port = sanePort();
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return false;
    bool closed = false;
    while (dirent* entry = readdir(fds)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(fds))
            continue;
        struct stat st {};
        if (fstat(int(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        if (getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0 ||
            portOf(peer) != port)
            continue;
        for (const sockaddr_storage& h : host)
            if (sameHost(peer, h) && peerClosed(int(fd)))
                closed = true;
    }
    closedir(fds);
    return closed;
}

} // namespace netconnection
