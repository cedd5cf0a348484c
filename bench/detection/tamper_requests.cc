// tamper_requests: held-out traffic for the end-to-end detection benchmark
// (shop-daemon.sh). Reads requests (raw HTTP or combined log lines, as mlfeed
// reads them) and writes, into OUTDIR, normal.http with every request that
// carries a non-empty value, and one file per anomaly kind with the same
// requests, each with one argument changed (bench/detection/tamper.h) or, for
// unknown_name, with an argument "debug=1" added. Every request is written as
// a GET whose query string holds all its arguments, so that normal and
// changed requests reach mlfeed --judge through the same encoding.
//
//   tamper_requests IN OUTDIR [SEED]
//
// With --repeat it is a filter for learning traffic instead: it reads requests
// (IN, or standard input when IN is "-" or absent) and writes them, in the
// same encoding, to standard output in the order and as often as the
// repetition KIND (tamper.h's kRepeats: plain, k2, k3, twins, bursts) sends
// them, so that the daemon can be taught with traffic that repeats itself as
// the detection benchmark's learned streams do.
//
//   tamper_requests --repeat KIND [IN [SEED]]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/detection/tamper.h"
#include "traffic/request_parse.h"

namespace {

std::string encode(const std::string &s, bool keep_slash) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (keep_slash && c == '/')) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

void write_request(FILE *f, const traffic::Request &r) {
  std::string q;
  for (const auto &a : r.args) {
    // Appends, not "lit" + std::string: g++ 12's -Wrestrict misreads that in Release.
    if (!q.empty()) q += '&';
    q += encode(a.name, false);
    q += '=';
    q += encode(a.value, false);
  }
  fprintf(f, "GET %s?%s HTTP/1.1\r\nHost: %s\r\n\r\n", encode(r.path, true).c_str(), q.c_str(),
          r.host.c_str());
}

// Indexes of r's arguments the kind may change.
std::vector<size_t> candidates(const traffic::Request &r, const std::string &kind) {
  std::vector<size_t> out;
  for (size_t i = 0; i < r.args.size(); ++i) {
    const std::string &v = r.args[i].value;
    if (v.empty()) continue;
    if ((kind == "letters" || kind == "sign") && !detection::digit_field(v)) continue;
    out.push_back(i);
  }
  return out;
}

// The requests of in, written to standard output as kRepeats[kind] repeats
// them. Requests mlfeed would refuse are dropped, as it would drop them.
int repeat_requests(std::istream &in, int kind, uint64_t seed) {
  traffic::Reader reader(in, traffic::Format::automatic, "shop.example");
  std::vector<traffic::Request> requests;
  traffic::Request r;
  for (int got; (got = reader.next(&r)) != 0;)
    if (got > 0) requests.push_back(r);
  detection::Rng rng(seed);
  for (size_t i : detection::repeat_order(requests.size(), kind, rng))
    write_request(stdout, requests[i]);
  return fflush(stdout) == 0 ? 0 : 2;
}

int repeat_main(int argc, char **argv) {
  int kind = -1;
  for (int k = 0; argc > 2 && k < detection::kRepeatCount; ++k)
    if (strcmp(argv[2], detection::kRepeats[k]) == 0) kind = k;
  if (kind < 0) {
    fprintf(stderr, "usage: %s --repeat plain|k2|k3|twins|bursts [IN [SEED]]\n", argv[0]);
    return 2;
  }
  const uint64_t seed = argc > 4 ? strtoull(argv[4], nullptr, 10) : 20261206;
  if (argc < 4 || strcmp(argv[3], "-") == 0) return repeat_requests(std::cin, kind, seed);
  std::ifstream in(argv[3]);
  if (!in) {
    fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[3]);
    return 2;
  }
  return repeat_requests(in, kind, seed);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--repeat") == 0) return repeat_main(argc, argv);
  if (argc < 3) {
    fprintf(stderr, "usage: %s IN OUTDIR [SEED]\n       %s --repeat KIND [IN [SEED]]\n", argv[0],
            argv[0]);
    return 2;
  }
  const detection::Attacks attacks = detection::load_attacks();
  if (attacks.wfuzz.empty() || attacks.sqlmap.empty()) {
    fprintf(stderr, "missing payloads: run bench/detection/install-deps.sh first\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 2;
  }
  const std::string dir = argv[2];
  detection::Rng rng(argc > 3 ? strtoull(argv[3], nullptr, 10) : 20261206);
  std::map<std::string, FILE *> out;
  for (const char *k : detection::kKinds) out[k] = nullptr;
  out["normal"] = nullptr;
  for (auto &[k, f] : out) {
    f = fopen((dir + "/" + k + ".http").c_str(), "w");
    if (!f) {
      fprintf(stderr, "%s: cannot write %s/%s.http\n", argv[0], dir.c_str(), k.c_str());
      return 2;
    }
  }
  traffic::Reader reader(in, traffic::Format::automatic, "shop.example");
  traffic::Request r;
  long requests = 0;
  for (int got; (got = reader.next(&r)) != 0;) {
    if (got < 0 || candidates(r, "normal").empty()) continue;
    requests++;
    write_request(out["normal"], r);
    for (const char *kind : detection::kKinds) {
      traffic::Request t = r;
      if (std::string(kind) == "unknown_name") {
        t.args.push_back({"debug", "1"});
      } else {
        const std::vector<size_t> c = candidates(r, kind);
        if (c.empty()) continue;
        std::string &v = t.args[c[rng() % c.size()]].value;
        std::string changed;
        if (!detection::tamper(kind, v, attacks, rng, &changed)) continue;
        v = changed;
      }
      write_request(out[kind], t);
    }
  }
  for (auto &[k, f] : out) fclose(f);
  printf("%ld requests written to %s\n", requests, dir.c_str());
  return 0;
}
