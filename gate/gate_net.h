// Listening sockets of mlgate's doors: "HOST:PORT" (a numeric IPv4 address,
// or an IPv6 one in brackets) or "unix:/path".
#pragma once

#include <string>

namespace gate {

// A bound, listening, close-on-exec socket; -1 with *err saying why. A unix
// socket left by an earlier run is replaced.
int listen_on(const std::string &address, std::string *err);

// Reads or writes exactly n bytes, going on after signals; false on end of
// stream or an error.
bool read_full(int fd, void *buf, size_t n);
bool write_full(int fd, const void *buf, size_t n);

}  // namespace gate
