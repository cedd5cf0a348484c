#include "intake/sample_bucket.h"

#include <gtest/gtest.h>

#include <string>

#include "intake/sample_msg.h"
#include "log/ml_debug.h"

namespace {

class IntakeBuckets : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(init_sample_buckets(&set, 3), 0); }
  void TearDown() override {
    enable_debug_print = 0;
    for (uint32_t i = 0; i < 3; i++)
      while (sample_node *n = pick_sample(&set, &set.buckets[i])) free_msg_node(n);
    free(set.buckets);
  }
  int insert(uint32_t i, const std::string &text) {  // as the receive thread does
    pthread_mutex_lock(&set.bucket_lock);
    int rc = sample_insert_node(&set.buckets[i], text.data(), static_cast<int>(text.size()));
    if (rc == 0) sample_count_add(&set, 1);
    pthread_mutex_unlock(&set.bucket_lock);
    return rc;
  }
  std::string take(uint32_t i) {
    sample_node *n = pick_sample(&set, &set.buckets[i]);
    std::string s = n ? std::string(reinterpret_cast<char *>(n->data), 3) : "<none>";
    free_msg_node(n);
    return s;
  }
  sample_buckets set{};
};

TEST_F(IntakeBuckets, FifoPerBucketAndStaleTailIsNeverFollowed) {
  for (const char *s : {"one", "two", "thr"}) ASSERT_EQ(insert(1, s), 0);
  ASSERT_EQ(insert(2, "xxx"), 0);
  EXPECT_EQ(sample_queued(&set), 4u);
  for (const char *s : {"one", "two", "thr", "<none>"}) EXPECT_EQ(take(1), s);
  EXPECT_EQ(sample_queued(&set), 1u);

  ASSERT_EQ(insert(1, "new"), 0);  // bucket 1's tail still points at a freed node
  EXPECT_EQ(set.buckets[1].head, set.buckets[1].tail);
  EXPECT_EQ(take(1), "new");
  EXPECT_EQ(take(2), "xxx");
  EXPECT_EQ(sample_queued(&set), 0u);
}

TEST_F(IntakeBuckets, ZeroLengthInsertFails) {
  enable_debug_print = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(sample_insert_node(&set.buckets[0], "abc", 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("[sample_insert_node:", 0), 0u) << out;
  EXPECT_NE(out.find("]\t\"Invalid parameter\"\n"), std::string::npos) << out;
  EXPECT_EQ(set.buckets[0].head, nullptr);
}

TEST(IntakeBucketChoice, SumWrapsAroundBeforeTheModulo) {
  sample_msg m;
  sample_msg_fill(&m, 1, 2, 3, "v", 1);
  EXPECT_EQ(sample_bucket_index(&m, 3), 0u);
  sample_msg_fill(&m, 4294967295u, 1, 1, "v", 1);
  EXPECT_EQ(sample_bucket_index(&m, 3), 1u);  // (2^32 + 1) mod 3 would be 2
}

}  // namespace
