// mlfeed against the real Redis: the records it makes as the proxy would,
// ids that stay the same across runs, the bytes of the samples it pushes, and
// its exit statuses. Every run pushes onto a private list and a private
// domain, so no daemon takes its samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "intake/sample_msg.h"
#include "tests/testutil/testutil.h"
#include "tests/verdict/learned_fixture.h"
#include "traffic/id_store.h"

namespace {

class MlfeedBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    domain_ = 700000000u + mlt::unique_id();
    d_ = std::to_string(domain_);
    list_ = "mlfeed-test:list:" + d_;
  }
  void TearDown() override {
    redis_.del_pattern("arg:" + d_ + ":*");
    redis_.cmd({"DEL", traffic::urls_key(domain_), traffic::args_key(domain_),
                traffic::next_key(domain_), "domain_info:" + d_, list_});
    redis_.cmd({"HDEL", "domains", d_});
  }

  // Runs mlfeed on input; returns its exit status, output in out_ and err_.
  int feed(const std::string &input, const std::string &options = "") {
    mlt::write_file(dir_ / "in.txt", input);
    const std::string cmd = mlt::bin_dir() + "/mlfeed -q -d " + d_ + " --list " + list_ + " " +
                            options + " " + dir_ / "in.txt" + " >" + dir_ / "out" + " 2>" +
                            dir_ / "err";
    int rc = mlt::run(cmd);
    out_ = mlt::read_file(dir_ / "out");
    err_ = mlt::read_file(dir_ / "err");
    return rc;
  }

  std::vector<std::string> pop_all() {
    std::vector<std::string> msgs;
    for (;;) {
      mlt::Reply r = redis_.cmd({"LPOP", list_});
      if (!r || r->type != REDIS_REPLY_STRING) return msgs;
      msgs.emplace_back(r->str, r->len);
    }
  }

  std::string field(const std::string &key, const std::string &f) {
    return redis_.str({"HGET", key, f});
  }

  mlt::Redis redis_;
  mlt::TempDir dir_;
  uint32_t domain_ = 0;
  std::string d_, list_, out_, err_;
};

const std::string kTraffic =
    "GET /product?id=42&id=43&empty= HTTP/1.1\r\nHost: shop.example\r\n\r\n"
    "POST /cart/add HTTP/1.1\r\nHost: shop.example\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 20\r\n\r\n"
    "id=42&qty=2+%26+more\r\n"
    "GET /about HTTP/1.1\r\nHost: shop.example\r\n\r\n";

TEST_F(MlfeedBinary, MakesTheProxysRecordsAndKeepsIdsAcrossRuns) {
  // A new domain needs its policy and database names; nothing is written without.
  ASSERT_EQ(feed(kTraffic), 1) << err_;
  EXPECT_EQ(redis_.integer({"EXISTS", "domain_info:" + d_}), 0);
  EXPECT_TRUE(pop_all().empty());

  // Someone else's argument 2 of this domain: the ids pass over it.
  redis_.cmd({"HSET", "arg:" + d_ + ":2", "arg_name", "foreign", "arg_learn_stat", "3"});
  ASSERT_EQ(feed(kTraffic, "--policy shop --db ml_shop"), 0) << err_;
  EXPECT_NE(out_.find("3 requests (1 without arguments, 0 refused), 4 samples pushed, 1 empty"),
            std::string::npos)
      << out_;
  EXPECT_EQ(field("domain_info:" + d_, "adomname"), "root");
  EXPECT_EQ(field("domain_info:" + d_, "policy_name"), "shop");
  EXPECT_EQ(field("domain_info:" + d_, "mysql_dbname"), "ml_shop");
  EXPECT_EQ(field("domain_info:" + d_, "domain"), "shop.example");
  EXPECT_EQ(field("domains", d_), d_);
  const std::string product = field(traffic::urls_key(domain_), "shop.example /product");
  const std::string cart = field(traffic::urls_key(domain_), "shop.example /cart/add");
  EXPECT_EQ(product, "1");
  EXPECT_EQ(cart, "2");
  EXPECT_EQ(field(traffic::urls_key(domain_), "shop.example /about"), "");  // no arguments
  // Per URL names, domain-wide numbers: /product id=1, empty=3 (2 is taken), /cart/add id=4, qty=5.
  EXPECT_EQ(field(traffic::args_key(domain_), "1 id"), "1");
  EXPECT_EQ(field(traffic::args_key(domain_), "1 empty"), "3");
  EXPECT_EQ(field(traffic::args_key(domain_), "2 id"), "4");
  EXPECT_EQ(field(traffic::args_key(domain_), "2 qty"), "5");
  EXPECT_EQ(field("arg:" + d_ + ":2", "arg_learn_stat"), "3");
  const std::string qty = "arg:" + d_ + ":5";
  EXPECT_EQ(field(qty, "arg_name"), "qty");
  EXPECT_EQ(field(qty, "urlid"), "2");
  EXPECT_EQ(field(qty, "arg_learn_stat"), "1");
  EXPECT_EQ(field(qty, "events"), "0");
  EXPECT_EQ(field(qty, "normalcount"), "0");
  EXPECT_EQ(field(qty, "abnormalcount"), "0");
  EXPECT_GT(std::stoll(field(qty, "start_time")), 1700000000ll);
  EXPECT_EQ(field("arg:" + d_ + ":3", "arg_name"), "empty");  // known, though never sampled

  // Second run: same ids, a learned argument stays learned, a new name gets the next id.
  redis_.cmd({"HSET", qty, "arg_learn_stat", "3", "normalcount", "1500"});
  pop_all();
  ASSERT_EQ(feed(kTraffic + "GET /product?colour=red HTTP/1.1\r\nHost: shop.example\r\n\r\n"), 0)
      << err_;
  EXPECT_NE(out_.find("0 new URLs, 1 new arguments"), std::string::npos) << out_;
  EXPECT_EQ(field(traffic::args_key(domain_), "2 qty"), "5");
  EXPECT_EQ(field(traffic::args_key(domain_), "1 colour"), "6");
  EXPECT_EQ(field(qty, "arg_learn_stat"), "3");
  EXPECT_EQ(field(qty, "normalcount"), "1500");
  EXPECT_EQ(pop_all().size(), 5u);
}

TEST_F(MlfeedBinary, PushesSampleRecordsOfTheDecodedValues) {
  const std::string long_value(2000, 'x');
  const std::string traffic =
      "GET /p?a=b%2Bc+d&long=" + long_value + " HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(feed(traffic, "--policy p --db d"), 0) << err_;
  std::vector<std::string> msgs = pop_all();
  ASSERT_EQ(msgs.size(), 2u);
  sample_msg m[2];
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(msgs[i].size(), SAMPLE_MSG_LEN);
    memcpy(&m[i], msgs[i].data(), sizeof m[i]);
    EXPECT_EQ(m[i].domain_id, domain_);
    EXPECT_EQ(m[i].url_id, 1u);
    EXPECT_EQ(m[i].arg_id, static_cast<uint32_t>(i + 1));
  }
  EXPECT_EQ(m[0].arg_real_len, 5u);
  EXPECT_EQ(m[0].arg_len, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(m[0].arg_value), 6), std::string("b+c d\0", 6));
  EXPECT_EQ(msgs[0].find_first_not_of('\0', 20 + 5), std::string::npos);  // zero padding
  // A long value: its real length, and the prefix the daemon accepts to carry.
  EXPECT_EQ(m[1].arg_real_len, 2000u);
  EXPECT_EQ(m[1].arg_len, 1024u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(m[1].arg_value), 1024),
            long_value.substr(0, 1024));
}

TEST_F(MlfeedBinary, StopsAtMalformedInputUnlessToldToGoOn) {
  const std::string traffic =
      "GET /p?a=1 HTTP/1.1\r\nHost: h\r\n\r\n"
      "GET /p?a=2 HTTP/1.1\r\nno colon here\r\n\r\n"
      "GET /p?a=3 HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(feed(traffic, "--policy p --db d"), 1);
  EXPECT_NE(err_.find("in.txt:5: header line without"), std::string::npos) << err_;
  EXPECT_EQ(pop_all().size(), 1u);  // what came before stays fed
  ASSERT_EQ(feed(traffic, "--keep-going"), 0) << err_;
  EXPECT_NE(err_.find("in.txt:5:"), std::string::npos) << err_;
  EXPECT_NE(out_.find("2 requests (0 without arguments, 1 refused)"), std::string::npos) << out_;
  EXPECT_EQ(pop_all().size(), 2u);

  EXPECT_EQ(feed(traffic, "--format nonsense"), 1);
  EXPECT_EQ(feed(traffic, "--args"), 1);  // only with --judge
  EXPECT_EQ(mlt::run(mlt::bin_dir() + "/mlfeed -q -d 5 -p 1 /dev/null 2>/dev/null"), 2);
}

// Every distinct name costs a script call and, when new, a hash in Redis: a
// run makes at most --max-names of them, and a request needing more is
// refused whole, with its file and line.
TEST_F(MlfeedBinary, RefusesRequestsPastTheNameLimit) {
  const std::string traffic =
      "GET /p?a=1&b=2 HTTP/1.1\r\nHost: h\r\n\r\n"   // 1
      "GET /p?c=1&d=2 HTTP/1.1\r\nHost: h\r\n\r\n"   // 4: d is the fourth name
      "GET /p?a=3&b=4 HTTP/1.1\r\nHost: h\r\n\r\n";  // 7
  ASSERT_EQ(feed(traffic, "--policy p --db d --max-names 3"), 1);
  EXPECT_NE(err_.find("in.txt:4: more than 3 distinct argument names"), std::string::npos) << err_;
  EXPECT_EQ(pop_all().size(), 2u);  // the refused request pushes none of its values
  ASSERT_EQ(feed(traffic, "--max-names 3 --keep-going"), 0) << err_;
  EXPECT_NE(out_.find("2 requests (0 without arguments, 1 refused), 4 samples"), std::string::npos)
      << out_;
  EXPECT_EQ(pop_all().size(), 4u);
  EXPECT_EQ(field(traffic::args_key(domain_), "1 d"), "");
  // A default host is a URL key's host: blanks and control bytes are refused.
  EXPECT_EQ(feed(traffic, "--default-host 'a b'"), 1);
  EXPECT_EQ(feed(traffic, "--max-names 0"), 1);
}

}  // namespace

namespace {

// --judge against arguments learned the way a build leaves them: verdict words
// per request, the gravest argument deciding, and nothing pushed or made.
class MlfeedJudge : public MlfeedBinary {
 protected:
  void SetUp() override {
    MlfeedBinary::SetUp();
    db_ = "mlfeed_judge_" + d_;
    mlt::provision_db(db_);
  }
  void TearDown() override {
    mlt::delete_domain_keys(domain_);
    mlt::drop_db(db_);
    MlfeedBinary::TearDown();
  }
  void learn(uint32_t url, uint32_t arg, const std::string &name, const std::string &kind) {
    mlt::LearnedArg s;
    s.domain = domain_;
    s.url = url;
    s.arg = arg;
    s.name = name;
    s.values = mlt::traffic(kind, 1500, 40 + arg);
    mlt::LearnedOut out;
    ASSERT_EQ(mlt::write_learned(s, db_, &out), "");
  }
  std::string db_;
};

std::string cart(const std::string &form) {
  return "POST /cart HTTP/1.1\r\nHost: shop.example\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(form.size()) + "\r\n\r\n" + form + "\r\n";
}

TEST_F(MlfeedJudge, JudgesEachRequestByItsGravestArgumentAndMakesNothing) {
  ASSERT_EQ(feed(cart("qty=2&email=ann%40example.org&note=x"), "--policy p --db " + db_), 0)
      << err_;
  pop_all();
  learn(1, 1, "qty", "qty");
  learn(1, 2, "email", "email");
  learn(1, 3, "note", "text");
  const long long keys_before = redis_.integer({"HLEN", traffic::args_key(domain_)});

  const std::string traffic = cart("qty=3&email=bob.smith%40mail.fr") +            // line 1
                              cart("qty=1+OR+1%3D1--&email=ann7%40example.org") +  // 7
                              cart("qty=2&coupon=SAVE10") +                        // 13
                              "GET /elsewhere?x=1 HTTP/1.1\r\nHost: shop.example\r\n\r\n" +  // 19
                              "GET /cart HTTP/1.1\r\nHost: shop.example\r\n\r\n" +           // 22
                              cart("qty=2&note=&email=" + std::string(300, 'a'));            // 25
  ASSERT_EQ(feed(traffic, "--judge"), 0) << err_;
  const char *expected[] = {"normal ",      "definite ",     "unknown_argument ",
                            "not_learned ", "no_arguments ", "definite "};
  std::istringstream lines(out_);
  std::string line;
  for (const char *word : expected) {
    ASSERT_TRUE(std::getline(lines, line)) << out_;
    EXPECT_EQ(line.rfind(word, 0), 0u) << line;
  }
  EXPECT_NE(out_.find("qty=definite(score"), std::string::npos) << out_;
  EXPECT_NE(out_.find("6 requests judged, 3 blocked, 0 logged at point definite: normal 1 "
                      "not_learned 1 unknown_argument 1 "
                      "potential 0 definite 2 no_arguments 1"),
            std::string::npos)
      << out_;
  EXPECT_EQ(redis_.integer({"HLEN", traffic::args_key(domain_)}), keys_before);
  EXPECT_EQ(redis_.str({"HGET", traffic::args_key(domain_), "1 coupon"}), "");
  EXPECT_EQ(redis_.integer({"HLEN", traffic::urls_key(domain_)}), 1);
  EXPECT_EQ(redis_.integer({"EXISTS", list_}), 0);

  // Names and paths come from the traffic: a line end in a name must not
  // forge a verdict line, nor an escape reach the terminal.
  const std::string forged = cart("qty=2&x%0Anormal+line+1+POST+shop.example%2Fcart%1B%5B2J=1") +
                             "GET /c%1B]0;t%07?q=1 HTTP/1.1\r\nHost: shop.example\r\n\r\n";
  ASSERT_EQ(feed(forged, "--judge"), 0) << err_;
  EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 3) << out_;  // two requests, a summary
  EXPECT_EQ(out_.find_first_of("\x1b\x07"), std::string::npos) << out_;
  EXPECT_NE(out_.find("x\\x0anormal line 1 POST shop.example/cart\\x1b[2J=unknown_argument"),
            std::string::npos)
      << out_;
  EXPECT_NE(out_.find("/c\\x1b]0;t\\x07 q=not_learned"), std::string::npos) << out_;
  ASSERT_EQ(feed(forged, "--judge --args"), 0) << err_;
  EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 4) << out_;  // a header, three rows
  EXPECT_EQ(out_.find_first_of("\x1b\x07"), std::string::npos) << out_;

  // --args: one tab-separated row per judged argument, under a header.
  ASSERT_EQ(feed(cart("qty=1+OR+1%3D1--&email=ann7%40example.org"), "--judge --args"), 0) << err_;
  EXPECT_EQ(out_.rfind("#line\tverdict\t", 0), 0u) << out_;
  EXPECT_NE(out_.find("\n1\tdefinite\t1\t1\tqty\t-"), std::string::npos) << out_;
  EXPECT_NE(out_.find("\n1\tnormal\t1\t2\temail\t-"), std::string::npos) << out_;
  EXPECT_NE(err_.find("1 requests judged, 1 blocked"), std::string::npos) << err_;
}

}  // namespace
