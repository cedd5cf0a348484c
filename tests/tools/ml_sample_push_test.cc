#include <gtest/gtest.h>

#include <string>

#include "intake/sample_msg.h"
#include "tests/testutil/testutil.h"

namespace {

// The tool pushes onto a private list here (-k), never onto arg:mlnsample.
TEST(IntakeTool, PushesRecordsFromArgumentsAndFiles) {
  mlt::Redis redis;
  mlt::TempDir dir;
  const std::string key = "test:samples:" + std::to_string(mlt::unique_id());
  auto push = [&](const std::string &args) {
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
    EXPECT_EQ(std::string(reinterpret_cast<char *>(m.arg_value), m.arg_len), values[i]);
  }
  EXPECT_EQ(r->element[5]->len, 1047u);
}

}  // namespace
