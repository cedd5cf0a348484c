// The verdict library against the real Redis and MariaDB: each verdict with
// its explanation, names and states, and the notices that must drop a cached
// model. Learned arguments are written as a build leaves them (fixture).
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "tests/testutil/testutil.h"
#include "tests/verdict/learned_fixture.h"
#include "verdict/verdict.h"

namespace {

using std::string;
using std::to_string;

class Verdict : public ::testing::Test {
 protected:
  void SetUp() override {
    mlt::provision_db(db);
    mlt::write_domain(domain, dname, db);
  }
  void TearDown() override {
    mlv_close(ctx);
    mlt::delete_domain_keys(domain);
    mlt::drop_db(db);
  }
  // Learns argument arg of URL url from n values of kind.
  mlt::LearnedOut learn(uint32_t url, uint32_t arg, const string &name, const string &kind,
                        int n = 1500, int state = 3, bool boxplot = true) {
    mlt::LearnedArg s;
    s.domain = domain;
    s.url = url;
    s.arg = arg;
    s.name = name;
    s.values = mlt::traffic(kind, n, 1000 + arg);
    s.state = state;
    s.boxplot = boxplot;
    mlt::LearnedOut out;
    string err = mlt::write_learned(s, db, &out);
    EXPECT_EQ(err, "");
    return out;
  }
  void open(uint32_t max_age = 3600, uint32_t rescan = 0, int32_t cache_mib = 0) {
    mlv_options o;
    mlv_options_init(&o);
    o.max_age_seconds = max_age;
    o.rescan_seconds = rescan;
    o.cache_limit_mib = cache_mib;
    ctx = mlv_open(&o);
    ASSERT_NE(ctx, nullptr);
  }
  int by_id(uint32_t arg, const string &v, int flags = 0) {
    return mlv_judge_by_id(ctx, domain, arg, v.data(), v.size(), flags, &r);
  }
  int by_name(uint32_t url, const string &name, const string &v) {
    return mlv_judge_by_name(ctx, domain, url, name.data(), name.size(), v.data(), v.size(), 0, &r);
  }
  void publish(const string &channel, const string &text) { redis.cmd({"PUBLISH", channel, text}); }
  // The notice the daemon sends to the proxy, in its form.
  string notice(int mtype, int ctype, uint32_t url, const string &name) {
    return "{ \"mtype\": " + to_string(mtype) + ", \"ctype\": " + to_string(ctype) +
           ", \"adomname\": \"root\", \"policyname\": \"p\", \"domain_name\": \"" + dname +
           "\", \"urlid\": \"" + to_string(url) + "\", \"argname\": \"" + name +
           "\", \"source\": \"ml_daemon\" }";
  }

  const uint32_t domain = mlt::unique_id();
  const string dname = "shop" + to_string(domain) + ".example";
  const string db = "mlt_verdict_" + to_string(domain);
  mlt::Redis redis;
  mlv_ctx *ctx = nullptr;
  mlv_result r = {};
};

TEST_F(Verdict, ScoresAndFencesDecideUnlessThePatternWasLearned) {
  mlt::LearnedOut q = learn(7, 21, "qty", "qty");
  open();
  // A typical value: its pattern was learned; the explanation carries the fences.
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL) << r.reason;
  EXPECT_EQ(r.learned_pattern, 1);
  EXPECT_EQ(string(r.pattern), mlt::pattern_of("3"));
  EXPECT_EQ(r.has_score, 1);
  EXPECT_NEAR(r.q4, q.q4, 1e-6);
  EXPECT_NEAR(r.q5, q.q5, 1e-6);
  EXPECT_EQ(r.state, MLV_STATE_LEARNED);
  EXPECT_EQ(r.url_id, 7u);
  // An injection scores below q5; the nearest learned patterns come sorted.
  EXPECT_EQ(by_id(21, "1' OR '1'='1", MLV_EXPLAIN_NEAREST), MLV_DEFINITE) << r.reason;
  EXPECT_LT(r.score, r.q5);
  EXPECT_EQ(r.learned_pattern, 0);
  ASSERT_EQ(r.nearest_count, 3);
  EXPECT_LE(r.nearest[0].distance, r.nearest[1].distance);
  EXPECT_LE(r.nearest[1].distance, r.nearest[2].distance);
  for (int i = 0; i < 3; i++)
    EXPECT_NE(std::find(q.patterns.begin(), q.patterns.end(), r.nearest[i].pattern),
              q.patterns.end());
  // Some unlearned shape lands between the fences: potential. Candidates are
  // learned e-mail addresses with one character changed or added, among the
  // symbols addresses have. Learned from few values, so that no rule derived
  // from the learned patterns speaks before the fences.
  const mlt::LearnedOut qe = learn(7, 22, "email", "email", 60);
  string between;
  for (const string &base : mlt::traffic("email", 200, 5)) {
    for (size_t at = 0; at < base.size() && between.empty(); at++) {
      for (int k = 0; k < 8; k++) {
        string v = base;
        if (k < 4)
          v[at] = "_-.@"[k];
        else
          v.insert(at, 1, "_-.@"[k - 4]);
        if (by_id(22, v) == MLV_POTENTIAL) {
          between = v;
          break;
        }
      }
    }
    if (!between.empty()) break;
  }
  ASSERT_FALSE(between.empty()) << "no candidate between q5 and q4";
  EXPECT_LT(r.score, r.q4);
  EXPECT_GE(r.score, r.q5);
  EXPECT_NEAR(r.q4, qe.q4, 1e-6);
  // Once that pattern is learned, the same low score is normal.
  const double low = r.score;
  ASSERT_EQ(mlt::add_learned_row(db, 22, between, r.pattern, 1), "");
  mlv_flush(ctx);
  EXPECT_EQ(by_id(22, between), MLV_NORMAL) << r.reason;
  EXPECT_EQ(r.learned_pattern, 1);
  EXPECT_DOUBLE_EQ(r.score, low);
  // Longer than 256 bytes: definite without scoring; 256 is still scored.
  EXPECT_EQ(by_id(21, string(257, '1')), MLV_DEFINITE);
  EXPECT_EQ(r.has_score, 0);
  by_id(21, string(256, '1'));
  EXPECT_EQ(r.has_score, 1);
  // The name gives the same judgement as the number.
  EXPECT_EQ(by_name(7, "qty", "1' OR '1'='1"), MLV_DEFINITE);
  EXPECT_EQ(r.arg_id, 21u);
}

TEST_F(Verdict, NamesAndStatesThatAreNotJudged) {
  learn(7, 21, "qty", "qty");
  learn(7, 22, "email", "email");
  mlt::write_state(domain, 8, 31, "q", 1);  // URL 8 still collecting
  mlt::write_state(domain, 8, 32, "page", 3);
  mlt::write_state(domain, 9, 41, "gone", 5);
  open();
  EXPECT_EQ(by_name(7, "qty2", "1"), MLV_UNKNOWN_ARGUMENT) << r.reason;
  EXPECT_EQ(by_name(8, "sort", "1"), MLV_NOT_LEARNED) << r.reason;  // URL still learning
  EXPECT_EQ(by_name(8, "q", "shoes"), MLV_NOT_LEARNED);
  EXPECT_EQ(r.state, MLV_STATE_COLLECTING);
  EXPECT_EQ(by_name(9, "gone", "x"), MLV_NOT_LEARNED);
  EXPECT_EQ(r.state, MLV_STATE_DISCARDED);
  EXPECT_EQ(by_name(77, "x", "1"), MLV_NOT_LEARNED);  // URL never seen
  EXPECT_EQ(by_id(99, "1"), MLV_NOT_LEARNED);         // no hash
  EXPECT_EQ(r.state, MLV_STATE_NONE);
  EXPECT_EQ(mlv_judge_by_id(ctx, domain + 500000, 21, "1", 1, 0, &r), MLV_NOT_LEARNED);
  // A name added after the first scan is found by a later one.
  learn(7, 23, "size", "qty");
  EXPECT_EQ(by_name(7, "size", "2"), MLV_NORMAL) << r.reason;
  // A learned state whose model cannot be used is not judged either.
  redis.cmd({"HSET", "arg:" + to_string(domain) + ":32", "math_model_pi", "{\"column\":1}"});
  EXPECT_EQ(by_name(8, "page", "2"), MLV_NOT_LEARNED);
  // A learned argument whose database is gone is a service failure.
  learn(10, 51, "id", "qty");
  mlt::write_domain(domain, dname, "mlt_no_such_db_" + to_string(domain));
  mlv_flush(ctx);
  EXPECT_EQ(by_id(51, "5"), MLV_ERROR);
  EXPECT_NE(string(r.reason).find("mlt_no_such_db_"), string::npos) << r.reason;
  mlv_options o;
  mlv_options_init(&o);
  o.redis_port = 1;
  EXPECT_EQ(mlv_open(&o), nullptr);
}

TEST_F(Verdict, ManualModelsWithoutBoxplotUseTheLearnedScores) {
  learn(7, 21, "qty", "qty", 1500, 4, false);
  open();
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL) << r.reason;
  EXPECT_EQ(r.state, MLV_STATE_MANUALLY_LEARNED);
  EXPECT_LT(r.q5, r.q4);
  EXPECT_NE(string(r.reason).find("from learned patterns"), string::npos) << r.reason;
  EXPECT_EQ(by_id(21, "1' OR '1'='1"), MLV_DEFINITE) << r.reason;
}

TEST_F(Verdict, NoticesDropTheCachedModel) {
  learn(7, 21, "qty", "qty");
  open();
  const string key = "arg:" + to_string(domain) + ":21";
  auto verdict_becomes = [&](int want) {
    return mlt::wait_until([&] { return by_id(21, "3") == want; });
  };
  ASSERT_EQ(by_id(21, "3"), MLV_NORMAL);
  // Without a notice the cache stands (max age one hour).
  redis.cmd({"HSET", key, "arg_learn_stat", "2"});
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL);
  EXPECT_EQ(by_name(7, "qty", "3"), MLV_NORMAL);
  // Building notice: the model goes.
  publish("ml_arg_event", notice(3, 2, 7, "qty"));
  EXPECT_TRUE(verdict_becomes(MLV_NOT_LEARNED)) << r.reason;
  EXPECT_EQ(r.state, MLV_STATE_BUILDING);
  // Model ready notice: loaded again.
  redis.cmd({"HSET", key, "arg_learn_stat", "3"});
  publish("ml_arg_event", notice(3, 1, 7, "qty"));
  EXPECT_TRUE(verdict_becomes(MLV_NORMAL)) << r.reason;
  // Discard notice.
  redis.cmd({"HSET", key, "arg_learn_stat", "5", "events", "2"});
  publish("ml_arg_event", notice(2, 5, 7, "qty"));
  EXPECT_TRUE(verdict_becomes(MLV_NOT_LEARNED)) << r.reason;
  EXPECT_EQ(r.state, MLV_STATE_DISCARDED);
  // A relearn request on the configuration channel (the proxy hears nothing).
  redis.cmd({"HSET", key, "arg_learn_stat", "3", "events", "0"});
  mlv_flush(ctx);
  ASSERT_EQ(by_id(21, "3"), MLV_NORMAL);
  redis.cmd({"HSET", key, "arg_learn_stat", "1"});
  publish("channel1",
          "{\"class\":2,\"action\":10,\"domain_id\":" + to_string(domain) + ",\"arg_id\":21}");
  EXPECT_TRUE(verdict_becomes(MLV_NOT_LEARNED)) << r.reason;
  EXPECT_EQ(r.state, MLV_STATE_COLLECTING);
  // A notice about another domain's argument of the same URL and name drops nothing.
  redis.cmd({"HSET", key, "arg_learn_stat", "3"});
  mlv_flush(ctx);
  ASSERT_EQ(by_id(21, "3"), MLV_NORMAL);
  redis.cmd({"HSET", key, "arg_learn_stat", "2"});
  string other = notice(3, 2, 7, "qty");
  other.replace(other.find(dname), dname.size(), "other.example");
  publish("ml_arg_event", other);
  mlv_cache_stats st;
  const uint64_t seen = (mlv_stats(ctx, &st), st.notices);
  ASSERT_TRUE(mlt::wait_until([&] {
    by_id(21, "3");
    mlv_stats(ctx, &st);
    return st.notices > seen;
  }));
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL);
  // A relearn request reaches the daemon and the context together; the
  // daemon may change the state after the context has loaded the argument
  // again, and the context must still see it long before max_age.
  redis.cmd({"HSET", key, "arg_learn_stat", "3"});
  mlv_flush(ctx);
  ASSERT_EQ(by_id(21, "3"), MLV_NORMAL);
  const uint64_t before = (mlv_stats(ctx, &st), st.notices);
  publish("channel1",
          "{\"class\":2,\"action\":10,\"domain_id\":" + to_string(domain) + ",\"arg_id\":21}");
  ASSERT_TRUE(mlt::wait_until([&] {
    by_id(21, "3");
    mlv_stats(ctx, &st);
    return st.notices > before;
  }));
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL);  // loaded again before the daemon moved
  redis.cmd({"HSET", key, "arg_learn_stat", "1"});
  EXPECT_TRUE(
      mlt::wait_until([&] { return by_id(21, "3") == MLV_NOT_LEARNED; }, std::chrono::seconds(4)))
      << r.reason;
}

uint64_t loads(mlv_ctx *ctx) {
  mlv_cache_stats st;
  mlv_stats(ctx, &st);
  return st.loads;
}

// Any local process may publish on the notice channel, and the daemon cuts
// its notices at 1024 bytes: neither may crash a context, nor make one long
// name empty the cache of every domain.
TEST_F(Verdict, HostileNoticesCrashNothingAndCutOnesDropOnlyWhatTheyName) {
  const string long_name(900, 'n'), nul_name("a\0b", 3);
  learn(7, 21, "qty", "qty");
  learn(8, 22, "email", "email");
  learn(7, 23, long_name, "qty");
  learn(9, 24, nul_name, "qty");
  open();
  for (uint32_t a : {21, 23, 24}) ASSERT_EQ(by_id(a, "3"), MLV_NORMAL) << r.reason;
  const int email = by_id(22, "ann@example.com");
  for (const char *bad : {R"({"domain_name":null,"urlid":"7","argname":"q"})",
                          R"({"domain_name":"x","urlid":null,"argname":"q"})",
                          R"({"domain_name":"x","urlid":"7","argname":null})",
                          R"({"domain_name":["x"],"urlid":{},"argname":7})", "\"\"", "[]"})
    publish("ml_arg_event", bad);
  publish("ml_arg_event", notice(3, 1, 7, "z") + string(100000, ' '));
  mlv_cache_stats st;
  ASSERT_TRUE(mlt::wait_until([&] {
    by_id(21, "3");
    mlv_stats(ctx, &st);
    return st.notices >= 7;
  }));
  for (uint32_t a : {21, 22, 23, 24}) by_id(a, "3");  // all cached again
  const uint64_t before = loads(ctx);

  // The long name's notice, cut where the daemon cuts it, drops that argument only.
  redis.cmd({"HSET", "arg:" + to_string(domain) + ":23", "arg_learn_stat", "2"});
  const string cut = notice(3, 2, 7, long_name).substr(0, 1023);
  ASSERT_EQ(cut.find("source"), string::npos);
  publish("ml_arg_event", cut);
  EXPECT_TRUE(mlt::wait_until([&] { return by_id(23, "3") == MLV_NOT_LEARNED; })) << r.reason;
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL);
  EXPECT_EQ(by_id(22, "ann@example.com"), email);
  EXPECT_EQ(loads(ctx), before + 1);  // 23 alone was loaded again

  // A name holding a NUL byte is matched whole.
  redis.cmd({"HSET", "arg:" + to_string(domain) + ":24", "arg_learn_stat", "2"});
  publish("ml_arg_event", notice(3, 2, 9, "a\\u0000b"));
  EXPECT_TRUE(mlt::wait_until([&] { return by_id(24, "3") == MLV_NOT_LEARNED; })) << r.reason;
}

// What a build writes is bounded (10 states, 44 symbols, six decimals, a
// boxplot record): anything larger is refused before it is parsed, and a
// fence that is not a finite number leaves the argument unjudged rather than
// switching its check off.
TEST_F(Verdict, ModelsAndFencesBeyondWhatTheDaemonWritesAreNotUsed) {
  learn(7, 21, "qty", "qty");
  open();
  ASSERT_EQ(by_id(21, "3"), MLV_NORMAL) << r.reason;
  const string key = "arg:" + to_string(domain) + ":21";
  const string box = "arg:boxplot:" + to_string(domain) + ":21";
  mlt::Reply got = redis.cmd({"HGET", key, "math_model_b"});
  ASSERT_TRUE(got && got->type == REDIS_REPLY_STRING);
  const string saved_b(got->str, got->len);
  // A consistent model of 10 states over 20,000 symbols: 1.8 MB of text.
  string data;
  for (int i = 0; i < 10 * 20000; i++) data += i ? ",0.000050" : "0.000050";
  redis.cmd({"HSET", key, "math_model_b", "{\"column\":10,\"data\":[" + data + "]}"});
  mlv_flush(ctx);
  EXPECT_EQ(by_id(21, "3"), MLV_NOT_LEARNED) << r.reason;
  EXPECT_NE(string(r.reason).find("larger than any model"), string::npos) << r.reason;
  mlv_cache_stats st;
  mlv_stats(ctx, &st);
  EXPECT_LT(st.bytes, 4096u);  // nothing of the refused model is held

  redis.cmd({"HSET", key, "math_model_b", saved_b});
  for (const char *fences : {R"({"q1":-1,"q2":-1,"q3":-1,"q4":-Infinity,"q5":-9})",
                             R"({"q1":-1,"q2":-1,"q3":-1,"q4":-2,"q5":NaN})"}) {
    redis.cmd({"RPUSH", box, fences});
    mlv_flush(ctx);
    EXPECT_EQ(by_id(21, "1' OR '1'='1"), MLV_NOT_LEARNED) << fences << ": " << r.reason;
    EXPECT_NE(string(r.reason).find("boxplot is unreadable"), string::npos) << r.reason;
    redis.cmd({"RPOP", box});
  }
  mlv_flush(ctx);
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL) << r.reason;
}

// Judging random argument ids (every one a new entry) must not grow a
// context without end; the arguments in use stay cached.
TEST_F(Verdict, TheCacheStaysWithinItsLimitKeepingWhatIsInUse) {
  learn(7, 21, "qty", "qty");
  open(3600, 0, 1);
  ASSERT_EQ(by_id(21, "3"), MLV_NORMAL);
  for (uint32_t i = 1; i <= 5000; i++) {
    ASSERT_EQ(by_id(100000 + i, "1"), MLV_NOT_LEARNED) << r.reason;
    if (i % 50 == 0) {
      ASSERT_EQ(by_id(21, "3"), MLV_NORMAL);
    }
  }
  mlv_cache_stats st;
  mlv_stats(ctx, &st);
  EXPECT_LE(st.bytes, 1u << 20);
  EXPECT_LT(st.arguments, 5000u);
  EXPECT_GT(st.arguments, 100u);
  const uint64_t before = st.loads;
  EXPECT_EQ(by_id(21, "3"), MLV_NORMAL);
  EXPECT_EQ(by_id(105000, "1"), MLV_NOT_LEARNED);
  EXPECT_EQ(loads(ctx), before);
}

// A write to a socket Redis closed raises SIGPIPE, which would end the
// process that links the library; a handler of the host's own is kept.
TEST(VerdictSignals, OpeningAContextIgnoresSigpipeUnlessTheHostHandlesIt) {
  EXPECT_EXIT(
      {
        signal(SIGPIPE, SIG_DFL);
        mlv_ctx *c = mlv_open(nullptr);
        struct sigaction now = {};
        sigaction(SIGPIPE, nullptr, &now);
        mlv_close(c);
        raise(SIGPIPE);
        exit(c && now.sa_handler == SIG_IGN ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        static volatile sig_atomic_t seen = 0;
        signal(SIGPIPE, [](int) { seen = 1; });
        mlv_close(mlv_open(nullptr));
        raise(SIGPIPE);
        exit(seen ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
