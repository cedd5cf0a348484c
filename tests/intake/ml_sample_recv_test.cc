#include "intake/ml_sample_recv.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "log/ml_debug.h"
#include "platform/framework/framework.h"
#include "tests/testutil/state.h"
#include "tests/testutil/testutil.h"

namespace {

using std::string;
using std::to_string;
using Strings = std::vector<string>;

// Operational lines are read back from a private /dev/pts/0. It is a FIFO:
// a terminal is opened and written from its start for every line, so only a
// stream keeps them all.
class IntakeRecv : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root = std::make_unique<mlt::TempDir>();
    fw_set_root(root->path().c_str());
    mlt::write_file(*root / "var/log/.keep", "");
    mlt::write_file(*root / "dev/pts/.keep", "");
  }
  static void TearDownTestSuite() { root.reset(); }
  void SetUp() override {
    string pts = *root / "dev/pts/0";
    unlink(pts.c_str());
    ASSERT_EQ(mkfifo(pts.c_str(), 0600), 0);
    chmod(pts.c_str(), 0621);
    pts_fd = open(pts.c_str(), O_RDONLY | O_NONBLOCK);
    mldaemon_debug_level = 5;
    st = std::make_unique<mlt::State>(3);
    redis.cmd({"DEL", SAMPLE_LIST_KEY});
    ml_policy_conf c = mlt::policy_conf(vdom, "pol", 1, 0, 0, 0);
    _add_ml_policy(&st->plist, &c);
  }
  void TearDown() override {
    st->stop = 1;
    if (running) pthread_join(thread, nullptr);
    for (const auto &k : keys) redis.cmd({"DEL", k});
    mldaemon_debug_level = 0;
    st.reset();
    close(pts_fd);
  }
  void start() {
    running = pthread_create(&thread, nullptr, sample_recv_thread_run, &st->recv_slot) == 0;
  }
  // Makes domain_info:<d> hold fields (none: no hash) and returns d.
  uint32_t domain(Strings fields, uint32_t d = mlt::unique_id()) {
    keys.push_back("domain_info:" + to_string(static_cast<int32_t>(d)));
    fields.insert(fields.begin(), {"HSET", keys.back()});
    if (fields.size() > 2) redis.cmd(fields);
    return d;
  }
  uint32_t governed(uint32_t d = mlt::unique_id()) {
    return domain({"adomname", vdom, "policy_name", "pol"}, d);
  }
  static string msg(uint32_t d, uint32_t u, uint32_t a) {
    sample_msg m;
    sample_msg_fill(&m, d, u, a, "value", 5);
    return string(reinterpret_cast<const char *>(&m), sizeof m);
  }
  void push(const string &raw) { redis.cmd({"RPUSH", SAMPLE_LIST_KEY, raw}); }
  size_t seen(const string &text) {
    char buf[4096];
    for (ssize_t got; (got = read(pts_fd, buf, sizeof buf)) > 0;)
      terminal.append(buf, static_cast<size_t>(got));
    size_t n = 0;
    for (size_t at = 0; (at = terminal.find(text, at)) != string::npos; at++) n++;
    return n;
  }
  bool wait_seen(const string &text, size_t times = 1) {
    return mlt::wait_until([&] { return seen(text) >= times; });
  }
  bool wait_queued(uint32_t n) {
    return mlt::wait_until([&] { return sample_queued(&st->buckets) == n; });
  }
  // The url ids in bucket i, oldest first. Under bucket_lock: the receive
  // thread may still be appending while the test reads.
  std::vector<uint32_t> bucket(uint32_t i) {
    std::vector<uint32_t> out;
    pthread_mutex_lock(&st->buckets.bucket_lock);
    for (sample_node *n = st->buckets.buckets[i].head; n; n = n->next)
      out.push_back(reinterpret_cast<sample_msg *>(n->data)->url_id);
    pthread_mutex_unlock(&st->buckets.bucket_lock);
    return out;
  }

  static std::unique_ptr<mlt::TempDir> root;
  int pts_fd = -1;
  string terminal, vdom = "r" + to_string(mlt::unique_id());
  mlt::Redis redis;
  Strings keys;
  pthread_t thread{};
  bool running = false;
  std::unique_ptr<mlt::State> st;
};
std::unique_ptr<mlt::TempDir> IntakeRecv::root;

TEST_F(IntakeRecv, RefusesMessagesOfTheWrongLength) {
  uint32_t d = governed();
  string ok = msg(d, 1, 1);
  start();
  for (const string &bad : {ok.substr(0, 1047), ok + "x", ok + string(3952, 'z')}) push(bad);
  push(ok);
  ASSERT_TRUE(wait_seen("> recevie sample domain:" + to_string(d) + ", url: 1, arg:1\n"));
  EXPECT_EQ(seen("[mld :  mld_error]<ml_sample_recv:"), 3u);
  EXPECT_EQ(seen("> Received sample length illegal.[mld :"), 1u);  // no line break of its own
  EXPECT_EQ(seen("> Received incorrect message."), 2u);
}

TEST_F(IntakeRecv, DropsSamplesOfUngovernedDomainsUntilThePolicyExists) {
  mldaemon_debug_level = 3;
  uint32_t later = domain({"adomname", vdom, "policy_name", "later"});
  std::vector<uint32_t> dropped = {domain({}), domain({"adomname", vdom}), later};
  start();
  for (uint32_t d : dropped) push(msg(d, 5, 6));
  for (uint32_t d : dropped)
    EXPECT_TRUE(
        wait_seen("> Failed to find policy for sample policy:" + to_string(d) + ", url: 5"));
  ml_policy_conf c = mlt::policy_conf(vdom, "later", 1, 0, 0, 0);
  _add_or_edit_ml_policy(&st->plist, &c);  // while the thread runs
  push(msg(later, 5, 7));
  EXPECT_TRUE(wait_queued(1));
}

TEST_F(IntakeRecv, QueuesEachSampleInItsBucketInArrivalOrder) {
  uint32_t d = governed(), uid = mlt::unique_id();
  uint32_t wrap = governed(0xFFFFFFFFu - uid);  // read as domain_info:-<n>
  start();
  for (uint32_t u = 0; u < 6; u++) push(msg(d, u, 9));
  push(msg(wrap, uid + 2, 5));  // the sum wraps to 6: bucket 0 (unwrapped it would be 1)
  ASSERT_TRUE(wait_queued(7));
  std::vector<uint32_t> expect[3];
  for (uint32_t u = 0; u < 6; u++) expect[(d + u + 9) % 3].push_back(u);
  expect[0].push_back(uid + 2);
  for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(bucket(i), expect[i]) << "bucket " << i;
}

TEST_F(IntakeRecv, AtTheQueueLimitDropsWhatItPopsAndPauses) {
  uint32_t d = governed();
  sample_count_add(&st->buckets, 3 * 4096);  // no consumer runs yet
  start();
  redis.cmd({"RPUSH", SAMPLE_LIST_KEY, msg(d, 1, 1), msg(d, 1, 2)});
  // The second message waits in the list while the thread pauses after the first.
  ASSERT_TRUE(mlt::wait_until([&] { return redis.integer({"LLEN", SAMPLE_LIST_KEY}) <= 1; }));
  auto first_gone = std::chrono::steady_clock::now();
  ASSERT_TRUE(mlt::wait_until([&] { return redis.integer({"LLEN", SAMPLE_LIST_KEY}) == 0; }));
  EXPECT_GE(std::chrono::steady_clock::now() - first_gone, std::chrono::milliseconds(80));
  EXPECT_TRUE(wait_seen("> sample count(12288) is bigger than 12288\n", 2));
  EXPECT_EQ(sample_queued(&st->buckets), 3u * 4096u);
  st->stop = 1;
  pthread_join(thread, nullptr);
  running = false;
  // The count was raised without samples behind it; the buckets' free checks
  // that the count matches what they hold.
  sample_count_add(&st->buckets, -3 * 4096);
}

// A refused take (here WRONGTYPE: the list key holds a hash) is not retried
// at once: the thread pauses as it waits on an empty list, so a failing
// server is not asked thousands of times a second.
TEST_F(IntakeRecv, RefusedPopsArePacedNotRetriedAtOnce) {
  auto pops = [&] {
    std::smatch m;
    const string info = redis.str({"INFO", "commandstats"});
    std::regex_search(info, m, std::regex("cmdstat_eval:calls=([0-9]+)"));
    return m.empty() ? 0L : std::stol(m[1].str());
  };
  redis.cmd({"HSET", SAMPLE_LIST_KEY, "not", "a list"});
  start();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the thread is popping
  const long before = pops();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long per_second = pops() - before;
  st->stop = 1;
  pthread_join(thread, nullptr);
  running = false;
  redis.cmd({"DEL", SAMPLE_LIST_KEY});
  EXPECT_LE(per_second, 20);
}

}  // namespace
