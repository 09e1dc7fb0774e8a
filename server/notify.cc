// Service manager notification: one datagram to $NOTIFY_SOCKET per state change, as systemd's
// Type=notify units expect ("READY=1" once serving, "STOPPING=1" at shutdown).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "server/server.h"

void
notify_service_manager(const char *state)
{
    const char *path = getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0')
        return;
    struct sockaddr_un addr {};
    std::size_t len = strlen(path);
    // "/path" names a socket file, "@name" one in the abstract namespace.
    if ((path[0] != '/' && path[0] != '@') || len >= sizeof addr.sun_path)
        return;
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path, len);
    if (path[0] == '@')
        addr.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    socklen_t addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
    if (sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr *>(&addr),
               addr_len) < 0)
        myprintf("WARN: Unable to notify the service manager (%s)\n", state);
    close(fd);
}
