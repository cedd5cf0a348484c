// The sample buckets (the bucket choice is checked in ml_sample_recv_test.cc).
#include <gtest/gtest.h>

#include <string>

#include "intake/sample_bucket.h"

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
  for (const char *s : {"one", "two", "thr", "<none>"}) EXPECT_EQ(take(1), s);
  ASSERT_EQ(insert(1, "new"), 0);  // bucket 1's tail still points at a freed node
  EXPECT_EQ(take(1) + take(2), "newxxx");
  EXPECT_EQ(sample_insert_node(&set.buckets[0], "abc", 0), -1);
  free_sample_buckets(&set);
}

}  // namespace
