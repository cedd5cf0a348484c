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
// Lines are read at most 1 MiB at a time (a longer one is malformed), and
// SIGPIPE is ignored: a Redis restart mid-write is a failed push, reported.
// Exit status: 0 pushed, 1 bad usage or input, 2 Redis failed.
#include <hiredis/hiredis.h>
#include <signal.h>
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

bool parse_u32(const char *text, uint32_t *out) { return text && mlpush::parse_u32(text, out); }

// The bytes to push for one sample: the record, cut or padded to length.
std::string encode(uint32_t domain, uint32_t url, uint32_t arg, const std::string &value,
                   long length) {
  return mlpush::pack(domain, url, arg, value, static_cast<uint32_t>(value.size()),
                      static_cast<size_t>(length));
}

bool read_file(const char *path, long length, std::vector<std::string> *msgs) {
  FILE *f = strcmp(path, "-") == 0 ? stdin : fopen(path, "r");
  if (!f) {
    fprintf(stderr, "ml_sample_push: cannot open %s: %s\n", path, strerror(errno));
    return false;
  }
  std::string text;
  bool too_long = false, ok = true;
  unsigned lineno = 0;
  while (ok && mlpush::read_line(f, &text, &too_long)) {
    lineno++;
    if (!too_long && (text.empty() || text[0] == '#')) continue;
    mlpush::SampleLine l;
    ok = !too_long && mlpush::parse_sample_line(text, &l);
    if (!ok)
      fprintf(stderr, "ml_sample_push: %s:%u: expected DOMAIN_ID URL_ID ARG_ID VALUE%s\n", path,
              lineno, too_long ? " (the line is longer than 1 MiB)" : "");
    else
      msgs->push_back(encode(l.domain_id, l.url_id, l.arg_id, l.value, length));
  }
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
  signal(SIGPIPE, SIG_IGN);  // a broken Redis socket is a failed push, reported
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
