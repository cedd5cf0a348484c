// mlfeed: replays recorded HTTP traffic into the daemon as the proxy would,
// or, with --judge, asks of every recorded request what the proxy would
// decide from what the daemon learned.
//
// Feeding: every request is parsed (request_parse.h), its URL and argument
// names get stable ids (id_store.h), the domain and argument records are made
// where missing, and one sample message per non-empty value is pushed onto
// the sample list in pipelined batches. The list is not allowed to grow past
// a backlog bound: the daemon drops samples it cannot queue, so running far
// ahead of it would lose traffic rather than save time.
//
// Judging pushes and creates nothing: ids are only looked up, and a URL or
// name never fed is judged from that.
//
// Sending (--send URL) needs no Redis: every request is replayed over HTTP to
// a live server as it was recorded (send_http.h), paced by --rate, and the
// answers are counted by status.
//
// Input is untrusted: the reader bounds every size (request_parse.h), the
// number of distinct names a run may make is bounded (--max-names), and
// whatever is printed of it is escaped. SIGPIPE is ignored: a Redis server
// that restarts mid-write, or a reader of the verdicts that goes away, is a
// failed write to report, not a reason to die without a word.
//
// Exit status: 0 done; 1 bad usage or malformed input (the first malformed
// request stops the run unless --keep-going); 2 Redis or the learning
// database failed. --send: 0 every request answered; 1 some went without an
// answer, or malformed input; 2 bad usage. docs/mlfeed.md is the operator's
// description.
#include <getopt.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "intake/sample_msg.h"
#include "tools/mlfeed/feed_judge.h"
#include "tools/mlfeed/progress.h"
#include "tools/mlfeed/send_http.h"
#include "tools/sample_push.h"
#include "traffic/id_store.h"
#include "traffic/request_parse.h"

namespace {

using traffic::Request;

// A handler's answer for a request refused after parsing (the name limit).
constexpr int kRefused = -1;

// --send prints this many failures; the rest are counted in the summary only,
// so a server that is down does not bury the output.
constexpr unsigned long kFailuresShown = 5;

struct Options {
  traffic::DomainSettings domain;
  bool domain_given = false;
  std::string redis_host = "127.0.0.1";
  int redis_port = 6379;
  std::string list = SAMPLE_LIST_KEY;
  traffic::Format format = traffic::Format::automatic;
  std::string default_host;
  unsigned long backlog = 20000;
  unsigned long max_names = 100000;  // distinct URLs, and argument names, per run
  bool keep_going = false, judge = false, per_arg = false, quiet = false;
  int point = MLV_POINT_DEFINITE;
  std::string send_url;  // --send: replay over HTTP to this base URL
  unsigned long rate = 0, timeout = 10;
  bool per_request = false, send_option = false;  // send_option: one that goes with --send
  std::vector<std::string> files;
};

struct Totals {
  // samples: the progress bar's second count; with --send, the requests
  // that got no answer.
  unsigned long requests = 0, no_args = 0, refused = 0, samples = 0, empty = 0;
};

int usage(FILE *out, int rc) {
  fprintf(out,
          "usage: mlfeed -d DOMAIN_ID [options] [FILE...]   (no FILE or '-': standard input)\n"
          "       mlfeed --send URL [--rate N] [--timeout S] [--per-request] [FILE...]\n"
          "  --vdom NAME --policy NAME --db NAME --name HOST\n"
          "                       domain_info fields (policy and db needed for a new domain)\n"
          "  --format auto|raw|log  raw HTTP requests or combined log lines (default auto)\n"
          "  --default-host HOST  host of requests that name none (log lines)\n"
          "  --judge              push nothing: one verdict line per request and a summary\n"
          "  --args               with --judge: one tab-separated line per argument\n"
          "  --point definite|potential\n"
          "                       with --judge: the operating point the summary counts\n"
          "                       blocked requests at (default definite)\n"
          "  --keep-going         report malformed requests and go on\n"
          "  --backlog N          wait while the sample list holds more (default 20000, 0 off)\n"
          "  --max-names N        at most N distinct URLs and N argument names in a run\n"
          "                       (default 100000); requests with more are refused\n"
          "  --list KEY           push onto KEY instead of arg:mlnsample\n"
          "  -h HOST -p PORT      Redis (default 127.0.0.1 6379)\n"
          "  -q, --quiet          no progress on standard error\n"
          "  --send URL           no Redis: send every request as recorded to URL\n"
          "                       (http://host:port[/prefix]), its target appended\n"
          "  --rate N             with --send: at most N requests a second (default 0: no limit)\n"
          "  --timeout S          with --send: seconds to wait for an answer (default 10)\n"
          "  --per-request        with --send: a line per request: line status method target\n"
          "exit status: 0 done, 1 bad usage or malformed input, 2 a service failed;\n"
          "  --send: 0 every request answered, 1 some failed or malformed input, 2 bad usage\n");
  return rc;
}

bool parse_number(const char *text, unsigned long max, unsigned long *out) {
  if (!text || !*text || *text == '-') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || *end || v > max) return false;
  *out = v;
  return true;
}

bool parse_format(const char *text, traffic::Format *out) {
  if (!strcmp(text, "auto"))
    *out = traffic::Format::automatic;
  else if (!strcmp(text, "raw"))
    *out = traffic::Format::raw;
  else if (!strcmp(text, "log"))
    *out = traffic::Format::combined;
  else
    return false;
  return true;
}

// An option of --send; false on a bad value or an option of no mode.
bool apply_send_option(int ch, const char *arg, Options *o) {
  unsigned long v = 0;
  switch (ch) {
    case 'S':
      o->send_url = arg;
      return *arg != 0;
    case 'R':
      if (!parse_number(arg, 1000000, &v)) return false;
      o->rate = v;
      break;
    case 'T':
      if (!parse_number(arg, 3600, &v) || !v) return false;
      o->timeout = v;
      break;
    case 'r':
      o->per_request = true;
      break;
    default:
      return false;
  }
  o->send_option = true;
  return true;
}

// One option; false on a bad value.
bool apply_option(int ch, const char *arg, Options *o) {
  unsigned long v = 0;
  switch (ch) {
    case 'd':
      o->domain_given = parse_number(arg, 0x7fffffff, &v) && v > 0;
      o->domain.id = static_cast<uint32_t>(v);
      return o->domain_given;
    case 'V':
      o->domain.vdom = arg;
      return *arg != 0;
    case 'P':
      o->domain.policy = arg;
      return *arg != 0;
    case 'D':
      o->domain.dbname = arg;
      return *arg != 0;
    case 'N':
      o->domain.name = arg;
      return *arg != 0;
    case 'f':
      return parse_format(arg, &o->format);
    case 'H':
      o->default_host = arg;
      return traffic::valid_host(arg);
    case 'j':
      o->judge = true;
      return true;
    case 'a':
      o->per_arg = true;
      return true;
    case 'O':
      return mlv_point_parse(arg, &o->point) == 0;
    case 'k':
      o->keep_going = true;
      return true;
    case 'b':
      if (!parse_number(arg, 1ul << 30, &v)) return false;
      o->backlog = v;
      return true;
    case 'm':
      if (!parse_number(arg, 1ul << 30, &v) || !v) return false;
      o->max_names = v;
      return true;
    case 'l':
      o->list = arg;
      return *arg != 0;
    case 'h':
      o->redis_host = arg;
      return true;
    case 'p':
      if (!parse_number(arg, 65535, &v) || !v) return false;
      o->redis_port = static_cast<int>(v);
      return true;
    case 'q':
      o->quiet = true;
      return true;
    default:
      return apply_send_option(ch, arg, o);
  }
}

const option kLongOptions[] = {{"domain", required_argument, nullptr, 'd'},
                               {"vdom", required_argument, nullptr, 'V'},
                               {"policy", required_argument, nullptr, 'P'},
                               {"db", required_argument, nullptr, 'D'},
                               {"name", required_argument, nullptr, 'N'},
                               {"format", required_argument, nullptr, 'f'},
                               {"default-host", required_argument, nullptr, 'H'},
                               {"judge", no_argument, nullptr, 'j'},
                               {"args", no_argument, nullptr, 'a'},
                               {"point", required_argument, nullptr, 'O'},
                               {"keep-going", no_argument, nullptr, 'k'},
                               {"backlog", required_argument, nullptr, 'b'},
                               {"max-names", required_argument, nullptr, 'm'},
                               {"list", required_argument, nullptr, 'l'},
                               {"quiet", no_argument, nullptr, 'q'},
                               {"send", required_argument, nullptr, 'S'},
                               {"rate", required_argument, nullptr, 'R'},
                               {"timeout", required_argument, nullptr, 'T'},
                               {"per-request", no_argument, nullptr, 'r'},
                               {"help", no_argument, nullptr, '?' + 256},
                               {nullptr, 0, nullptr, 0}};

// The options that go together: 0, or 1 with the reason on standard error.
int check_modes(const Options &o) {
  const char *wrong = nullptr;
  if (!o.send_url.empty() && o.judge)
    wrong = "--send and --judge are two different modes";
  else if (o.send_url.empty() && o.send_option)
    wrong = "--rate, --timeout and --per-request go with --send";
  else if (o.send_url.empty() && !o.domain_given)
    wrong = "-d DOMAIN_ID is required";
  else if (o.per_arg && !o.judge)
    wrong = "--args goes with --judge";
  if (!wrong) return 0;
  fprintf(stderr, "mlfeed: %s\n", wrong);
  return 1;
}

// 0 parsed, 1 bad usage, -1 help shown. Every option is read even after a
// bad one, so that the exit status of the mode asked for (--send) is known.
int parse_options(int argc, char **argv, Options *o) {
  int ch, rc = 0;
  while ((ch = getopt_long(argc, argv, "d:h:p:q", kLongOptions, nullptr)) != -1) {
    if (ch == '?' + 256) return -1;
    if (ch == '?' || !apply_option(ch, optarg, o)) {
      if (ch != '?')
        fprintf(stderr, "mlfeed: bad value for option -%c / --%s\n", ch, optarg ? optarg : "");
      rc = 1;
    }
  }
  for (int i = optind; i < argc; i++) o->files.push_back(argv[i]);
  if (o->files.empty()) o->files.push_back("-");
  return rc ? rc : check_modes(*o);
}

// Bytes of the regular files among the inputs; 0 when any size is unknown.
uint64_t total_size(const std::vector<std::string> &files) {
  uint64_t total = 0;
  for (const auto &f : files) {
    struct stat st;
    if (f == "-" || stat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

// Feeding: ids, records and batched pushes for one domain.
class Feeder {
 public:
  Feeder(redisContext *c, const Options &o) : c_(c), o_(o), ids_(c, o.domain.id) {
    ids_.set_limit(o.max_names);
  }

  // 0, 1 (the domain lacks settings), 2 (Redis failed), or kRefused (the
  // request would pass the name limit; none of its samples is pushed); err
  // says why.
  int request(const Request &req, Totals *t, std::string *err) {
    if (!domain_ready_) {
      int rc = traffic::ensure_domain(c_, o_.domain, req.host, err);
      if (rc) return rc;
      domain_ready_ = true;
    }
    uint32_t url = 0, arg = 0;
    if (int rc = ids_.url_id(req.host, req.path, true, &url); rc < 0) return fail(rc, err);
    const time_t now = time(nullptr);
    std::vector<std::string> msgs;
    unsigned long empty = 0;
    for (const auto &a : req.args) {
      if (int rc = ids_.arg_id(url, a.name, true, &arg); rc < 0) return fail(rc, err);
      if (ids_.ensure_arg(url, arg, a.name, now) < 0) return fail(-1, err);
      if (a.value.empty()) {
        empty++;  // the daemon refuses a sample of length 0
        continue;
      }
      msgs.push_back(mlpush::pack_sample(o_.domain.id, url, arg, a.value, a.value.size()));
    }
    t->empty += empty;
    t->samples += msgs.size();
    for (auto &m : msgs) batch_.push_back(std::move(m));
    return batch_.size() >= 4 * mlpush::kPushBatch ? flush(err) : 0;
  }

  // Pushes what is batched, first waiting while the list is above the bound.
  int flush(std::string *err) {
    if (batch_.empty()) return 0;
    if (wait_backlog(err)) return 2;
    int rc = mlpush::push(c_, o_.list, batch_, 1, err);
    batch_.clear();
    return rc;
  }

  const traffic::IdStore &ids() const { return ids_; }

 private:
  int fail(int rc, std::string *err) {
    *err = ids_.error();
    return rc == -2 ? kRefused : 2;
  }

  int wait_backlog(std::string *err) {
    if (!o_.backlog) return 0;
    for (unsigned waits = 0;;) {
      auto *r =
          static_cast<redisReply *>(redisCommand(c_, "LLEN %b", o_.list.data(), o_.list.size()));
      if (!r || r->type != REDIS_REPLY_INTEGER) {
        *err = r ? "LLEN failed" : c_->errstr;
        if (r) freeReplyObject(r);
        return 2;
      }
      const long long len = r->integer;
      freeReplyObject(r);
      if (len <= static_cast<long long>(o_.backlog)) return 0;
      // Said once per wait: a bar that stops moving looks like a hang.
      if (++waits == 100 && !o_.quiet)
        fprintf(
            stderr,
            "%smlfeed: waiting: %s holds %lld samples (--backlog %lu); is the daemon running?\n",
            isatty(STDERR_FILENO) ? "\n" : "", o_.list.c_str(), len, o_.backlog);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  redisContext *c_;
  const Options &o_;
  traffic::IdStore ids_;
  std::vector<std::string> batch_;
  bool domain_ready_ = false;
};

redisContext *connect(const Options &o) {
  timeval tv = {10, 0};
  redisContext *c = redisConnectWithTimeout(o.redis_host.c_str(), o.redis_port, tv);
  if (!c || c->err) {
    fprintf(stderr, "mlfeed: cannot connect to Redis at %s:%d\n", o.redis_host.c_str(),
            o.redis_port);
    if (c) redisFree(c);
    return nullptr;
  }
  redisSetTimeout(c, tv);
  return c;
}

// Handles one parsed request of the input named in the mode chosen; 0, the
// exit status, or kRefused (the request is refused as malformed input is;
// *why says why).
using Handler =
    std::function<int(const std::string &input, const Request &req, Totals *t, std::string *why)>;

// Reads every input through the handler. 0, or the exit status.
int run_inputs(const Options &o, const Handler &handle, Totals *t) {
  const bool send = !o.send_url.empty();
  mlfeed::Progress progress(!o.quiet, total_size(o.files),
                            send      ? "failed"
                            : o.judge ? "values"
                                      : "samples");
  uint64_t done_bytes = 0;
  for (const auto &name : o.files) {
    std::ifstream file;
    if (name != "-") {
      file.open(name, std::ios::binary);
      if (!file) {
        fprintf(stderr, "mlfeed: cannot open %s: %s\n", name.c_str(), strerror(errno));
        return 1;
      }
    }
    traffic::Reader reader(name == "-" ? std::cin : file, o.format, o.default_host);
    reader.keep_raw(send);  // only a replay needs the request as recorded
    Request req;
    std::string why;
    for (int rc; (rc = reader.next(&req)) != 0;) {
      const bool parsed = rc > 0;
      if (parsed) {
        rc = handle(name, req, t, &why);
        if (rc > 0) return rc;
        if (rc == 0) {
          t->requests++;
          if (req.args.empty()) t->no_args++;
          progress.update(t->requests, t->samples, done_bytes + reader.bytes_read());
          continue;
        }
      }
      // On a terminal the line goes below the progress bar.
      const bool bar = !o.quiet && isatty(STDERR_FILENO);
      fprintf(stderr, "%smlfeed: %s:%u: %s\n", bar ? "\n" : "", name.c_str(),
              parsed ? req.line : reader.error_line(),
              parsed ? why.c_str() : reader.error().c_str());
      why.clear();
      t->refused++;
      if (!o.keep_going) return 1;
    }
    done_bytes += reader.bytes_read();
  }
  progress.finish(t->requests, t->samples, done_bytes);
  return 0;
}

int feed(const Options &o, redisContext *c) {
  Feeder feeder(c, o);
  Totals t;
  std::string err;
  int rc = run_inputs(
      o,
      [&](const std::string &, const Request &req, Totals *tt, std::string *why) {
        if (req.args.empty()) return 0;
        const int st = feeder.request(req, tt, &err);
        if (st == kRefused) why->swap(err);
        return st;
      },
      &t);
  int frc =
      rc == 0 || rc == 1 ? feeder.flush(&err) : 0;  // what was read before a bad line stays fed
  if (!err.empty()) fprintf(stderr, "mlfeed: %s\n", err.c_str());
  if (frc) rc = frc;
  printf(
      "mlfeed: %lu requests (%lu without arguments, %lu refused), %lu samples pushed, "
      "%lu empty values not pushed; %lu new URLs, %lu new arguments\n",
      t.requests, t.no_args, t.refused, t.samples, t.empty, feeder.ids().new_urls(),
      feeder.ids().new_args());
  return rc;
}

int judge(const Options &o, redisContext *c) {
  mlfeed::Judge j(c, o.domain.id, o.redis_host, o.redis_port, o.per_arg, o.point);
  if (!j.ready()) {
    fprintf(stderr, "mlfeed: %s\n", j.error().c_str());
    return 2;
  }
  Totals t;
  auto handle = [&j](const std::string &, const Request &req, Totals *tt, std::string *) {
    for (const auto &a : req.args) tt->samples += a.value.empty() ? 0 : 1;  // values judged
    if (j.request(req, stdout)) return 2;
    if (!ferror(stdout)) return 0;
    // Nobody reads the verdicts any more (a closed pipe): judging on is waste.
    fprintf(stderr, "mlfeed: cannot write the verdicts to standard output\n");
    return 2;
  };
  int rc = run_inputs(o, handle, &t);
  if (!j.error().empty()) fprintf(stderr, "mlfeed: %s\n", j.error().c_str());
  j.summary(o.per_arg ? stderr : stdout, t.refused);
  return rc;
}

// --send: every request over HTTP; its answer counted, the first failures
// shown. 0, or the exit status of --send.
int send_over_http(const Options &o) {
  mlfeed::HttpSender sender({o.send_url, static_cast<long>(o.timeout) * 1000, o.rate});
  if (!sender.ready()) {
    fprintf(stderr, "mlfeed: %s\n", sender.error().c_str());
    return 2;
  }
  mlfeed::SendTally tally;
  const bool bar = !o.quiet && isatty(STDERR_FILENO);
  auto handle = [&](const std::string &input, const Request &req, Totals *tt, std::string *) {
    const mlfeed::SendResult r = sender.send(req);
    tally.add(r);
    const std::string method = traffic::printable(req.method, 64);
    const std::string target = traffic::printable(r.target, 2048);
    if (!r.status && ++tt->samples <= kFailuresShown)
      fprintf(stderr, "%smlfeed: %s:%u: %s %s: %s%s\n", bar ? "\n" : "", input.c_str(), req.line,
              method.c_str(), target.c_str(), r.error.c_str(),
              tt->samples == kFailuresShown ? " (further failures are only counted)" : "");
    if (o.per_request)
      printf("%u %s %s %s\n", req.line, r.status ? std::to_string(r.status).c_str() : "-",
             method.c_str(), target.c_str());
    return 0;
  };
  Totals t;
  const int rc = run_inputs(o, handle, &t);
  printf("mlfeed: %s\n", tally.summary(t.refused).c_str());
  return rc ? rc : tally.failed ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);  // a broken socket or pipe is a failed write, reported where it happens
  Options o;
  int rc = parse_options(argc, argv, &o);
  if (rc < 0) return usage(stdout, 0);
  if (rc) return usage(stderr, o.send_url.empty() ? 1 : 2);
  if (!o.send_url.empty()) return send_over_http(o);
  redisContext *c = connect(o);
  if (!c) return 2;
  rc = o.judge ? judge(o, c) : feed(o, c);
  redisFree(c);
  return rc;
}
