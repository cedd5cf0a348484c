// The gateway's judging and learning against the real Redis and MariaDB, and
// its two doors spoken to as nginx and HAProxy speak to them: values of
// collecting arguments become samples with mlfeed's ids, learned arguments
// are judged and each mode acts on the verdict, caps and the backlog bound
// what live traffic adds, and a service that is down lets traffic through.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "gate/gate.h"
#include "gate/gate_http.h"
#include "gate/gate_judge.h"
#include "gate/gate_net.h"
#include "gate/gate_spoe.h"
#include "gate/spop.h"
#include "tests/testutil/testutil.h"
#include "tests/verdict/learned_fixture.h"
#include "traffic/id_store.h"

namespace {

using std::string;
using std::to_string;

class Gate : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::provision_db(db);
    cfg.sample_list = list;
    cfg.sites.push_back({host, {}, domain, "default", db, gate::Mode::block});
    cfg.by_host[host] = 0;
  }
  void TearDown() override {
    if (g) g->learner().stop();
    mlt::delete_domain_keys(domain);
    redis.del_pattern("mlfeed:*:" + to_string(domain));
    redis.cmd({"DEL", list});
    mlt::drop_db(db);
  }
  gate::Gate &start() {
    g = std::make_unique<gate::Gate>(cfg);
    g->learner().start();
    return *g;
  }
  gate::Decision get(gate::Judge &j, const string &target) {
    gate::Incoming in;
    in.method = "GET";
    in.target = target;
    in.host = host;
    return j.decide(in);
  }
  // The id mlfeed gives the URL and the name, 0 when none was given.
  uint32_t url_id(const string &path) {
    traffic::IdStore ids(redis.ctx(), domain);
    uint32_t id = 0;
    return ids.url_id(host, path, false, &id) == 1 ? id : 0;
  }
  uint32_t arg_id(uint32_t url, const string &name) {
    traffic::IdStore ids(redis.ctx(), domain);
    uint32_t id = 0;
    return ids.arg_id(url, name, false, &id) == 1 ? id : 0;
  }
  bool pushed(uint64_t n) {
    return mlt::wait_until([&] { return g->metrics().samples_pushed.load() >= n; });
  }

  const uint32_t domain = mlt::unique_id() + 9100;
  const string host = "gate" + to_string(domain) + ".example";
  const string db = "mlt_gate_" + to_string(domain);
  const string list = "mlt:gate:samples:" + to_string(domain);
  mlt::Redis redis;
  gate::Config cfg;
  std::unique_ptr<gate::Gate> g;
};

TEST_F(Gate, CollectingValuesBecomeSamplesThenLearnedOnesAreJudgedAsEachModeActs) {
  start();
  {
    gate::Judge j(g.get());
    const gate::Decision d = get(j, "/search?q=shoes&page=2&empty=");
    EXPECT_EQ(d.verdict, traffic::kNotLearned);
    EXPECT_EQ(d.action, MLV_PASS);  // not learned passes, even in block mode
    ASSERT_TRUE(pushed(2));         // the empty value is not a sample
  }
  // The ids are mlfeed's, and the arguments collect as the proxy makes them.
  const uint32_t url = url_id("/search");
  ASSERT_NE(url, 0u);
  const uint32_t q = arg_id(url, "q"), page = arg_id(url, "page");
  ASSERT_NE(q, 0u);
  ASSERT_NE(page, 0u);
  EXPECT_EQ(redis.str({"HGET", "arg:" + to_string(domain) + ":" + to_string(q), "arg_learn_stat"}),
            "1");
  EXPECT_EQ(redis.integer({"LLEN", list}), 2);

  // Once learned, values are judged; the request takes the gravest verdict.
  redis.cmd({"DEL", "arg:" + to_string(domain) + ":" + to_string(arg_id(url, "empty"))});
  redis.cmd({"HDEL", traffic::args_key(domain), to_string(url) + " empty"});
  for (auto [id, name, kind] : {std::tuple{q, "q", "name"}, std::tuple{page, "page", "qty"}}) {
    mlt::LearnedArg a;
    a.domain = domain;
    a.url = url;
    a.arg = id;
    a.name = name;
    a.values = mlt::traffic(kind, 1500, 7 + id);
    mlt::LearnedOut out;
    ASSERT_EQ(mlt::write_learned(a, db, &out), "");
  }
  gate::Judge j(g.get());
  const string normal = mlt::traffic("name", 1, 99)[0];
  gate::Decision d = get(j, "/search?q=" + normal + "&page=3");
  EXPECT_EQ(d.verdict, traffic::kNormal) << d.argument;
  EXPECT_EQ(d.action, MLV_PASS);
  d = get(j, "/search?page=2&q=%3Cscript%3Ealert(1)%3C%2Fscript%3E");
  EXPECT_EQ(d.verdict, traffic::kDefinite);
  EXPECT_EQ(d.argument, "q");
  EXPECT_TRUE(d.has_score);
  EXPECT_EQ(d.action, MLV_BLOCK);
  // A name the learned URL never had is denied and given no id.
  d = get(j, "/search?q=" + normal + "&cmd=id");
  EXPECT_EQ(d.verdict, traffic::kUnknown);
  EXPECT_EQ(d.action, MLV_BLOCK);
  EXPECT_EQ(arg_id(url, "cmd"), 0u);

  gate::Config detect = cfg;
  detect.sites[0].mode = gate::Mode::detect;
  g->replace(detect);
  d = get(j, "/search?q=%3Cscript%3E&page=2");
  EXPECT_EQ(d.verdict, traffic::kDefinite);
  EXPECT_EQ(d.action, MLV_LOG);
  gate::Config learn = cfg;
  learn.sites[0].mode = gate::Mode::learn;
  g->replace(learn);
  EXPECT_EQ(get(j, "/search?q=%3Cscript%3E").action, MLV_PASS);

  // Hosts no domain has, and requests that cannot be read, are answered.
  gate::Incoming other;
  other.target = "/search?q=x";
  other.host = "elsewhere.example";
  EXPECT_EQ(j.decide(other).verdict, gate::kUnmapped);
  g->replace(cfg);
  EXPECT_EQ(get(j, "search-without-slash").verdict, gate::kMalformed);
  string many = "/search?q=a";
  for (int i = 0; i < 1500; i++) many += "&q=" + to_string(i);
  d = get(j, many);
  EXPECT_EQ(d.verdict, gate::kMalformed);  // more values than one request may cost
  EXPECT_EQ(d.action, MLV_BLOCK);
}

TEST_F(Gate, CapsAndTheBacklogBoundWhatLiveTrafficAdds) {
  cfg.max_new_args_per_url = 3;
  cfg.max_new_args_per_domain = 5;
  start();
  gate::Judge j(g.get());
  get(j, "/a?n1=1&n2=2&n3=3&n4=4&n5=5&n6=6");
  ASSERT_TRUE(mlt::wait_until([&] { return g->metrics().names_refused.load() >= 3; }));
  get(j, "/b?m1=1&m2=2&m3=3");
  ASSERT_TRUE(mlt::wait_until([&] { return g->metrics().names_refused.load() >= 4; }));
  EXPECT_EQ(redis.integer({"HLEN", traffic::args_key(domain)}), 5);
  const uint32_t a = url_id("/a");
  EXPECT_NE(arg_id(a, "n3"), 0u);
  EXPECT_EQ(arg_id(a, "n4"), 0u);
  // A name refused is remembered: sent again it does not ask Redis again.
  const uint64_t refused = g->metrics().names_refused.load();
  get(j, "/a?n4=4");
  ASSERT_TRUE(mlt::wait_until([&] { return g->metrics().names_refused.load() > refused; }));
  EXPECT_EQ(redis.integer({"HLEN", traffic::args_key(domain)}), 5);

  // Above the backlog, values are skipped and counted, not queued.
  cfg.sample_backlog = 10;
  g->replace(cfg);
  for (int i = 0; i < 20; i++) redis.cmd({"RPUSH", list, "x"});
  const long long before = redis.integer({"LLEN", list});
  get(j, "/a?n1=7&n2=8");
  ASSERT_TRUE(mlt::wait_until([&] { return g->metrics().samples_skipped_backlog.load() >= 2; }))
      << gate::metrics_text(g->metrics());
  EXPECT_EQ(redis.integer({"LLEN", list}), before);
}

TEST_F(Gate, ServicesDownLetTrafficThroughCountedAndWithoutAskingAgainAtOnce) {
  cfg.redis_port = 1;  // nothing listens there
  start();
  gate::Judge j(g.get());
  gate::Decision d = get(j, "/search?q=x");
  EXPECT_EQ(d.verdict, gate::kError);
  EXPECT_EQ(d.action, MLV_PASS);  // fail-open, even in block mode
  EXPECT_EQ(g->metrics().service_errors.load(), 1u);
  d = get(j, "/search?q=y");
  EXPECT_EQ(d.verdict, gate::kError);
  EXPECT_EQ(g->metrics().service_errors.load(), 1u);  // the second request did not ask
  const string text = gate::metrics_text(g->metrics());
  EXPECT_NE(text.find("mlgate_requests_total{mode=\"block\",verdict=\"error\",action=\"pass\"} 2"),
            string::npos)
      << text;
}

// ---- The doors -------------------------------------------------------------

int connect_unix(const string &path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un un = {};
  un.sun_family = AF_UNIX;
  snprintf(un.sun_path, sizeof un.sun_path, "%s", path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr *>(&un), sizeof un) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One HTTP/1.0 exchange over a unix socket: the whole answer.
string http(const string &sock, const string &request) {
  const int fd = connect_unix(sock);
  if (fd < 0) return "";
  gate::write_full(fd, request.data(), request.size());
  string out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

TEST_F(Gate, TheHttpDoorAnswersAuthRequestsAndServesMetrics) {
  start();
  mlt::TempDir tmp;
  gate::HttpDoor door(g.get());
  string err;
  ASSERT_TRUE(door.start("unix:" + tmp / "http.sock", 2, &err)) << err;
  const string auth = "GET /auth HTTP/1.0\r\nHost: " + host + "\r\n";
  string a = http(tmp / "http.sock", auth + "X-Original-URI: /shop?item=12\r\n\r\n");
  EXPECT_NE(a.find(" 204 "), string::npos) << a;
  EXPECT_NE(a.find("X-ML-Verdict: not_learned"), string::npos) << a;
  EXPECT_NE(a.find("X-ML-Mode: block"), string::npos) << a;
  a = http(tmp / "http.sock", auth + "\r\n");
  EXPECT_NE(a.find(" 400 "), string::npos) << a;
  // A body sent to /auth is judged with the query; a hostile target is answered.
  const string form = "item=3&note=%00%ZZ%";
  a = http(tmp / "http.sock", "POST /auth HTTP/1.0\r\nHost: " + host +
                                  "\r\nX-Original-URI: /shop?x=1\r\nX-Original-Method: POST\r\n"
                                  "Content-Type: application/x-www-form-urlencoded\r\n"
                                  "Content-Length: " +
                                  to_string(form.size()) + "\r\n\r\n" + form);
  EXPECT_NE(a.find(" 204 "), string::npos) << a;
  string huge = "/shop?";
  for (int i = 0; i < 5000; i++) huge += "a" + to_string(i) + "=%" + to_string(i % 7) + "&";
  a = http(tmp / "http.sock", auth + "X-Original-URI: " + huge + "\r\n\r\n");
  EXPECT_NE(a.find(" 403 "), string::npos) << a.substr(0, 200);
  EXPECT_NE(a.find("X-ML-Verdict: malformed"), string::npos) << a.substr(0, 200);
  ASSERT_TRUE(pushed(4));  // item, then x, item and note: nothing of the hostile one
  a = http(tmp / "http.sock", "GET /metrics HTTP/1.0\r\n\r\n");
  EXPECT_NE(
      a.find("mlgate_requests_total{mode=\"block\",verdict=\"not_learned\",action=\"pass\"} 2"),
      string::npos)
      << a;
  EXPECT_NE(a.find("mlgate_samples_pushed_total 4"), string::npos) << a;
  EXPECT_NE(a.find("mlgate_judge_seconds_count 3"), string::npos) << a;
}

// Bodies arriving at once share the door's budget: a body beyond it is left
// out and its request judged on the target alone, and the budget comes back
// as each request ends.
TEST_F(Gate, TheHttpDoorHoldsBodiesWithinItsBudget) {
  start();
  mlt::TempDir tmp;
  const size_t held = (1 << 20) - 1;
  gate::HttpDoor door(g.get(), (1 << 20) + (16 << 10));
  string err;
  ASSERT_TRUE(door.start("unix:" + tmp / "http.sock", 2, &err)) << err;
  const auto post = [&](size_t length) {
    return "POST /auth HTTP/1.0\r\nHost: " + host +
           "\r\nX-Original-URI: /shop?item=1\r\nX-Original-Method: POST\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           to_string(length) + "\r\n\r\n";
  };
  string many;  // more values than a request may have: malformed once judged
  for (int i = 0; i < 5000; i++) many += "a" + to_string(i) + "=" + to_string(i) + "&";
  const int slow = connect_unix(tmp / "http.sock");
  const string head = post(held + 1) + "big=" + string(held - 4, 'x');
  ASSERT_TRUE(gate::write_full(slow, head.data(), head.size()));
  ASSERT_TRUE(mlt::wait_until([&] { return door.body_bytes() == held; }));
  string a = http(tmp / "http.sock", post(many.size()) + many);
  EXPECT_NE(a.find("X-ML-Verdict: not_learned"), string::npos) << a.substr(0, 300);
  ASSERT_TRUE(gate::write_full(slow, "x", 1));
  string rest;
  char buf[4096];
  for (ssize_t n; (n = read(slow, buf, sizeof buf)) > 0;) rest.append(buf, static_cast<size_t>(n));
  close(slow);
  EXPECT_NE(rest.find("X-ML-Verdict: "), string::npos) << rest;
  ASSERT_TRUE(mlt::wait_until([&] { return door.body_bytes() == 0; }));
  a = http(tmp / "http.sock", post(many.size()) + many);
  EXPECT_NE(a.find("X-ML-Verdict: malformed"), string::npos) << a.substr(0, 300);
}

// HAProxy's side of SPOP, written out byte by byte.
string str(const string &s) {
  string out;
  spop::put_varint(&out, s.size());
  return out + s;
}
string frame(uint8_t type, uint64_t stream, uint64_t id, const string &payload) {
  string f(1, static_cast<char>(type));
  f += string("\0\0\0\1", 4);  // FIN
  spop::put_varint(&f, stream);
  spop::put_varint(&f, id);
  f += payload;
  const uint32_t len = htonl(static_cast<uint32_t>(f.size()));
  return string(reinterpret_cast<const char *>(&len), 4) + f;
}
string hello(bool healthcheck) {
  string p = str("supported-versions") + "\x08" + str("2.0");
  p += str("max-frame-size") + "\x03";
  spop::put_varint(&p, 16380);
  p += str("capabilities") + "\x08" + str("pipelining");
  if (healthcheck) p += str("healthcheck") + "\x11";
  return frame(spop::kHaproxyHello, 0, 0, p);
}
string notify(uint64_t stream, const string &target, const string &host) {
  string p = str("ml-check") + "\x03";
  p += str("method") + "\x08" + str("GET");
  p += str("target") + "\x08" + str(target);
  p += str("host") + "\x08" + str(host);
  return frame(spop::kNotify, stream, 1, p);
}
// Reads one agent frame; its payload is copied into *keep.
bool read_frame(int fd, spop::Frame *f, string *keep) {
  uint32_t len = 0;
  if (!gate::read_full(fd, &len, 4)) return false;
  keep->resize(ntohl(len));
  return gate::read_full(fd, keep->data(), keep->size()) && spop::parse_frame(*keep, f);
}

TEST_F(Gate, TheSpoeAgentSaysHelloAnswersPipelinedNotifiesAndRefusesWhatItMust) {
  start();
  mlt::TempDir tmp;
  gate::SpoeDoor door(g.get());
  string err;
  ASSERT_TRUE(door.start("unix:" + tmp / "spoe.sock", 2, &err)) << err;
  const int fd = connect_unix(tmp / "spoe.sock");
  ASSERT_GE(fd, 0);
  const string out = hello(false) + notify(7, "/shop?item=1", host) +
                     notify(8, "/shop?item=%3Cx%3E", "elsewhere.example");
  ASSERT_TRUE(gate::write_full(fd, out.data(), out.size()));
  spop::Frame f;
  string buf;
  ASSERT_TRUE(read_frame(fd, &f, &buf));
  ASSERT_EQ(f.type, spop::kAgentHello);
  std::vector<spop::Arg> kv;
  ASSERT_TRUE(spop::parse_kv_list(f.payload, &kv));
  EXPECT_EQ(spop::find(kv, "capabilities")->bytes, "pipelining");
  for (const auto &[stream, verdict] : {std::pair{7u, "not_learned"}, std::pair{8u, "unmapped"}}) {
    ASSERT_TRUE(read_frame(fd, &f, &buf));
    EXPECT_EQ(f.type, spop::kAck);
    EXPECT_EQ(f.stream_id, stream);
    EXPECT_EQ(f.frame_id, 1u);
    EXPECT_NE(buf.find(verdict), string::npos);
  }
  // Connections share two Judges, each request borrowing one: the verdict
  // caches stay two however many connections HAProxy opens.
  std::vector<int> more;
  for (int i = 0; i < 6; ++i) {
    more.push_back(connect_unix(tmp / "spoe.sock"));
    const string req = hello(false) + notify(20 + i, "/shop?item=" + to_string(i), host);
    ASSERT_TRUE(gate::write_full(more.back(), req.data(), req.size()));
  }
  for (int c : more) {
    ASSERT_TRUE(read_frame(c, &f, &buf));
    ASSERT_TRUE(read_frame(c, &f, &buf));
    EXPECT_EQ(f.type, spop::kAck);
  }
  EXPECT_GE(g->metrics().judges.load(), 1);
  EXPECT_LE(g->metrics().judges.load(), 2);
  for (int c : more) close(c);
  // A frame longer than the agreed size ends the connection with status 3.
  const uint32_t big = htonl(70000);
  gate::write_full(fd, &big, 4);
  ASSERT_TRUE(read_frame(fd, &f, &buf));
  EXPECT_EQ(f.type, spop::kAgentDisconnect);
  ASSERT_TRUE(spop::parse_kv_list(f.payload, &kv));
  EXPECT_EQ(spop::find(kv, "status-code")->number, 3u);
  close(fd);

  // A health check gets the hello, then the connection closes.
  const int hc = connect_unix(tmp / "spoe.sock");
  const string h = hello(true);
  gate::write_full(hc, h.data(), h.size());
  ASSERT_TRUE(read_frame(hc, &f, &buf));
  EXPECT_EQ(f.type, spop::kAgentHello);
  char c;
  EXPECT_EQ(read(hc, &c, 1), 0);
  close(hc);
  door.stop();
}

}  // namespace
