// The sample buckets (the bucket choice is checked in ml_sample_recv_test.cc)
// and the ml_sample_push tool, which pushes onto a private list here (-k),
// never onto arg:mlnsample.
#include <gtest/gtest.h>

#include <string>

#include "intake/sample_bucket.h"
#include "intake/sample_msg.h"
#include "log/ml_debug.h"
#include "tests/testutil/testutil.h"

namespace {

using std::string;

TEST(Intake, BucketsAreFifoSkipAStaleTailAndRefuseEmptyInserts) {
  sample_buckets set{};
  ASSERT_EQ(init_sample_buckets(&set, 3), 0);
  auto insert = [&](uint32_t i, const string &text) {  // as the receive thread does
    pthread_mutex_lock(&set.bucket_lock);
    int rc = sample_insert_node(&set.buckets[i], text.data(), static_cast<int>(text.size()));
    if (rc == 0) sample_count_add(&set, 1);
    pthread_mutex_unlock(&set.bucket_lock);
    return rc;
  };
  auto take = [&](uint32_t i) {
    sample_node *n = pick_sample(&set, &set.buckets[i]);
    string s = n ? string(reinterpret_cast<char *>(n->data), 3) : "<none>";
    free_msg_node(n);
    return s;
  };
  for (const char *s : {"one", "two", "thr"}) ASSERT_EQ(insert(1, s), 0);
  ASSERT_EQ(insert(2, "xxx"), 0);
  EXPECT_EQ(sample_queued(&set), 4u);
  for (const char *s : {"one", "two", "thr", "<none>"}) EXPECT_EQ(take(1), s);
  EXPECT_EQ(sample_queued(&set), 1u);
  ASSERT_EQ(insert(1, "new"), 0);  // bucket 1's tail still points at a freed node
  EXPECT_EQ(set.buckets[1].head, set.buckets[1].tail);
  EXPECT_EQ(take(1) + take(2), "newxxx");
  EXPECT_EQ(sample_queued(&set), 0u);

  enable_debug_print = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(sample_insert_node(&set.buckets[0], "abc", 0), -1);
  string out = testing::internal::GetCapturedStdout();
  enable_debug_print = 0;
  EXPECT_EQ(out.rfind("[sample_insert_node:", 0), 0u) << out;
  EXPECT_NE(out.find("]\t\"Invalid parameter\"\n"), string::npos) << out;
  EXPECT_EQ(set.buckets[0].head, nullptr);
  free(set.buckets);
}

TEST(Intake, ToolPushesRecordsFromArgumentsAndFiles) {
  mlt::Redis redis;
  mlt::TempDir dir;
  const string key = "test:samples:" + std::to_string(mlt::unique_id());
  auto push = [&](const string &args) {
    return mlt::run(mlt::bin_dir() + "/ml_sample_push -k " + key + " " + args + " 2>/dev/null");
  };
  mlt::write_file(dir / "s.txt", "# comment\n1 1 1 first value\n\n2 2 2 \n");
  mlt::write_file(dir / "bad.txt", "1 1 1 ok\n1 x 1 bad\n");
  ASSERT_EQ(push("4294967295 2 3 'a b%d'"), 0);
  ASSERT_EQ(push("-n 2 -f " + (dir / "s.txt")), 0);
  ASSERT_EQ(push("-l 1047 1 1 1 v"), 0);
  EXPECT_EQ(push("-f " + (dir / "bad.txt")), 1);
  EXPECT_EQ(push("4294967296 2 3 v"), 1);
  EXPECT_EQ(push("1 2 3"), 1);

  mlt::Reply r = redis.cmd({"LRANGE", key, "0", "-1"});
  redis.cmd({"DEL", key});
  ASSERT_EQ(r->elements, 6u);
  const char *values[] = {"a b%d", "first value", "first value", "", ""};
  const uint32_t domains[] = {4294967295u, 1, 1, 2, 2};
  for (size_t i = 0; i < 5; i++) {
    ASSERT_EQ(r->element[i]->len, SAMPLE_MSG_LEN);
    sample_msg m;
    memcpy(&m, r->element[i]->str, sizeof m);
    EXPECT_EQ(m.domain_id, domains[i]);
    EXPECT_EQ(m.arg_real_len, strlen(values[i]));
    EXPECT_EQ(string(reinterpret_cast<char *>(m.arg_value), m.arg_len), values[i]);
  }
  EXPECT_EQ(r->element[5]->len, 1047u);
}

}  // namespace
