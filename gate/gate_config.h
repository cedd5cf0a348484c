// The gateway's configuration: which site (host) is which domain, with its
// learning policy, learning database and mode, and where to listen. One JSON
// file, read with json-c, checked whole before it replaces the one in use, so
// a reload (SIGHUP) with a mistake keeps the gateway on its last good file.
//
//   {
//     "listen": {"http": "127.0.0.1:8088", "spoe": "127.0.0.1:12345"},
//     "redis": {"host": "127.0.0.1", "port": 6379},
//     "point": "definite",
//     "max_new_args_per_url": 64, "max_new_args_per_domain": 4096,
//     "sample_backlog": 20000, "sample_list": "arg:mlnsample",
//     "workers": 4, "cache_mib": 16, "timeout_ms": 100,
//     "domains": [
//       {"host": "shop.example", "aliases": ["www.shop.example"], "domain_id": 3,
//        "policy": "default", "db": "shop_db", "mode": "block"}
//     ]
//   }
//
// Every key but "domains" may be left out for its default. Hosts are matched
// as mlfeed keys them: lower case, without a port. A reload takes everything
// but "listen" and "workers", which hold until a restart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace gate {

// learn: samples only, never blocks; detect: judges and reports, never
// blocks; block: denies what the operating point blocks.
enum class Mode { learn, detect, block };

struct Site {
  std::string host;  // normalised
  std::vector<std::string> aliases;
  uint32_t domain_id = 0;
  std::string policy;
  std::string db;
  Mode mode = Mode::detect;
};

struct Config {
  std::string http_listen = "127.0.0.1:8088";
  std::string spoe_listen = "127.0.0.1:12345";
  std::string redis_host = "127.0.0.1";
  int redis_port = 6379;
  int point = 0;  // MLV_POINT_*
  uint32_t max_new_args_per_url = 64;
  uint32_t max_new_args_per_domain = 4096;
  uint32_t sample_backlog = 20000;
  std::string sample_list = "arg:mlnsample";  // where the daemon pops samples
  uint32_t workers = 4;                       // threads serving the HTTP endpoint
  uint32_t cache_mib = 16;                    // verdict cache of each judging thread
  uint32_t timeout_ms = 100;                  // bound of one wait for Redis on the request path
  std::vector<Site> sites;
  std::unordered_map<std::string, size_t> by_host;  // host or alias -> index in sites

  // The site of a request's host (any case, with or without a port), or null.
  const Site *site(std::string_view host) const;
};

// A configuration file is at most this long.
constexpr size_t kConfigMax = 1 << 20;

// Parses text into *out. False with *error saying where and what ("domains[1].mode:
// expected learn, detect or block"); *out is then unspecified.
bool parse_config(std::string_view text, Config *out, std::string *error);

// Reads and parses a file. False with *error naming the file.
bool load_config(const std::string &path, Config *out, std::string *error);

const char *mode_name(Mode m);

}  // namespace gate
