#include "gate/gate_net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gate {

namespace {

constexpr int kBacklog = 512;

// Fills *ss from "HOST:PORT" / "[V6]:PORT" / "unix:/path".
bool parse_address(const std::string &a, sockaddr_storage *ss, socklen_t *len, std::string *err) {
  memset(ss, 0, sizeof *ss);
  if (a.starts_with("unix:")) {
    auto *un = reinterpret_cast<sockaddr_un *>(ss);
    const std::string path = a.substr(5);
    if (path.empty() || path.size() >= sizeof un->sun_path) {
      *err = "a unix socket path of 1 to " + std::to_string(sizeof un->sun_path - 1) + " bytes";
      return false;
    }
    un->sun_family = AF_UNIX;
    memcpy(un->sun_path, path.c_str(), path.size() + 1);
    *len = sizeof *un;
    return true;
  }
  const size_t colon = a.rfind(':');
  std::string host = colon == std::string::npos ? "" : a.substr(0, colon);
  const int port = colon == std::string::npos ? 0 : atoi(a.c_str() + colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  auto *in4 = reinterpret_cast<sockaddr_in *>(ss);
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(ss);
  if (port > 0 && port < 65536 && inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    *len = sizeof *in4;
    return true;
  }
  if (port > 0 && port < 65536 && inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    *len = sizeof *in6;
    return true;
  }
  *err = "expected HOST:PORT with a numeric address, [IPV6]:PORT or unix:/path";
  return false;
}

}  // namespace

int listen_on(const std::string &address, std::string *err) {
  sockaddr_storage ss;
  socklen_t len = 0;
  if (!parse_address(address, &ss, &len, err)) {
    *err = address + ": " + *err;
    return -1;
  }
  const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = address + ": " + strerror(errno);
    return -1;
  }
  const int one = 1;
  if (ss.ss_family == AF_UNIX)
    unlink(reinterpret_cast<sockaddr_un *>(&ss)->sun_path);
  else
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 || listen(fd, kBacklog) != 0) {
    *err = address + ": " + strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool read_full(int fd, void *buf, size_t n) {
  auto *p = static_cast<char *>(buf);
  while (n > 0) {
    const ssize_t got = ::read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool write_full(int fd, const void *buf, size_t n) {
  const auto *p = static_cast<const char *>(buf);
  while (n > 0) {
    const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace gate
