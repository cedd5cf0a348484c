// ml_sample_push: pushes sample messages onto arg:mlnsample, as the proxy
// does, for tests, benchmarks and demonstrations.
//
//   ml_sample_push [-k KEY] [-n COUNT] [-l LENGTH] DOMAIN_ID URL_ID ARG_ID VALUE
//   ml_sample_push [-k KEY] [-n COUNT] [-l LENGTH] -f FILE     (FILE "-": stdin)
//
// A file holds one sample per line, "DOMAIN_ID URL_ID ARG_ID VALUE", where the
// value is the rest of the line after the blank that ends ARG_ID (it may hold
// blanks); empty lines and lines starting with '#' are skipped. Each message
// is pushed COUNT times (default 1). -l sends each message cut or zero-padded
// to LENGTH bytes instead of the record's 1048, to try the daemon's length
// checks. -k pushes onto another list (tests use private lists).
//
// Messages are sent with RPUSH in pipelined batches, so a large COUNT fills
// the list at the server's pace rather than one round trip per message.
// Exit status: 0 pushed, 1 bad usage or input, 2 Redis failed.
#include <hiredis/hiredis.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "intake/sample_msg.h"
#include "tools/sample_push.h"

namespace {

struct options {
  std::string key = SAMPLE_LIST_KEY;
  unsigned long count = 1;
  long length = SAMPLE_MSG_LEN;
  const char *file = nullptr;
};

int usage() {
  fprintf(stderr,
          "usage: ml_sample_push [-k KEY] [-n COUNT] [-l LENGTH] DOMAIN_ID URL_ID ARG_ID VALUE\n"
          "       ml_sample_push [-k KEY] [-n COUNT] [-l LENGTH] -f FILE\n");
  return 1;
}

bool parse_u32(const char *text, uint32_t *out) {
  if (!text || !*text || *text == '-') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || *end || v > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// The bytes to push for one sample: the record, cut or padded to length.
std::string encode(uint32_t domain, uint32_t url, uint32_t arg, const std::string &value,
                   long length) {
  return mlpush::pack(domain, url, arg, value, static_cast<uint32_t>(value.size()),
                      static_cast<size_t>(length));
}

// One line "D U A VALUE" of a sample file; false when it is malformed.
bool parse_line(const std::string &line, long length, std::string *out) {
  uint32_t ids[3];
  size_t pos = 0;
  for (uint32_t &id : ids) {
    size_t end = line.find(' ', pos);
    std::string word = line.substr(pos, end == std::string::npos ? end : end - pos);
    if (!parse_u32(word.c_str(), &id)) return false;
    pos = end == std::string::npos ? line.size() : end + 1;
  }
  *out = encode(ids[0], ids[1], ids[2], line.substr(pos), length);
  return true;
}

bool read_file(const char *path, long length, std::vector<std::string> *msgs) {
  FILE *f = strcmp(path, "-") == 0 ? stdin : fopen(path, "r");
  if (!f) {
    fprintf(stderr, "ml_sample_push: cannot open %s: %s\n", path, strerror(errno));
    return false;
  }
  char *line = nullptr;
  size_t cap = 0;
  ssize_t n;
  unsigned lineno = 0;
  bool ok = true;
  while (ok && (n = getline(&line, &cap, f)) >= 0) {
    lineno++;
    std::string text(line, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty() || text[0] == '#') continue;
    std::string msg;
    ok = parse_line(text, length, &msg);
    if (!ok)
      fprintf(stderr, "ml_sample_push: %s:%u: expected DOMAIN_ID URL_ID ARG_ID VALUE\n", path,
              lineno);
    else
      msgs->push_back(std::move(msg));
  }
  free(line);
  if (f != stdin) fclose(f);
  return ok;
}

// Pushes every message count times, in order. 0, or 2 on a Redis failure.
int push_all(const std::string &key, const std::vector<std::string> &msgs, unsigned long count) {
  redisContext *c = redisConnect("127.0.0.1", 6379);
  if (!c || c->err) {
    fprintf(stderr, "ml_sample_push: cannot connect to 127.0.0.1:6379\n");
    if (c) redisFree(c);
    return 2;
  }
  std::string err;
  int rc = mlpush::push(c, key, msgs, count, &err);
  if (rc) fprintf(stderr, "ml_sample_push: %s\n", err.c_str());
  redisFree(c);
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  options opt;
  int ch;
  while ((ch = getopt(argc, argv, "k:n:l:f:")) != -1) {
    uint32_t v = 0;
    switch (ch) {
      case 'k':
        opt.key = optarg;
        break;
      case 'n':
        if (!parse_u32(optarg, &v) || v == 0) return usage();
        opt.count = v;
        break;
      case 'l':
        if (!parse_u32(optarg, &v) || v == 0 || v > 1u << 20) return usage();
        opt.length = v;
        break;
      case 'f':
        opt.file = optarg;
        break;
      default:
        return usage();
    }
  }
  std::vector<std::string> msgs;
  if (opt.file) {
    if (optind != argc) return usage();
    if (!read_file(opt.file, opt.length, &msgs)) return 1;
  } else {
    uint32_t ids[3];
    if (argc - optind != 4) return usage();
    for (int i = 0; i < 3; i++)
      if (!parse_u32(argv[optind + i], &ids[i])) return usage();
    msgs.push_back(encode(ids[0], ids[1], ids[2], argv[optind + 3], opt.length));
  }
  return push_all(opt.key, msgs, opt.count);
}
