// The sample file format "DOMAIN URL ARG VALUE" that ml_sample_push pushes and
// "mlctl judge -f" judges: one parser for both, ids of decimal digits only,
// and the two programs refusing the same lines with the same line numbers.
#include <gtest/gtest.h>

#include "tests/testutil/testutil.h"
#include "tools/sample_push.h"

namespace {

TEST(SampleLine, IdsAreDigitsOnlyAndTheValueIsTheRest) {
  mlpush::SampleLine l;
  ASSERT_TRUE(mlpush::parse_sample_line("1 22 333  two blanks ", &l));
  EXPECT_EQ(l.domain_id, 1u);
  EXPECT_EQ(l.url_id, 22u);
  EXPECT_EQ(l.arg_id, 333u);
  EXPECT_EQ(l.value, " two blanks ");
  ASSERT_TRUE(mlpush::parse_sample_line("4294967295 0 7", &l));
  EXPECT_EQ(l.value, "");
  // strtoull would read each of these as a number, a strict reader as none.
  for (const char *bad : {"+5 1 1 x", "\t5 1 1 x", "5 0x1 1 x", "5 1 -1 x", "4294967296 1 1 x",
                          "5  1 1 x", "5 1", ""})
    EXPECT_FALSE(mlpush::parse_sample_line(bad, &l)) << bad;
}

TEST(SampleLine, BothToolsRefuseTheSameLine) {
  mlt::TempDir dir;
  const std::string list = "sample-line-test:" + std::to_string(mlt::unique_id());
  mlt::write_file(dir / "in", "# comment\n\n7 1 2 fine\r\n+7 1 2 signed\n7 1 2 after\n");
  const std::string bin = mlt::bin_dir();
  EXPECT_EQ(mlt::run(bin + "/ml_sample_push -k " + list + " -f " + dir / "in" + " 2>" + dir / "e1"),
            1);
  EXPECT_NE(mlt::read_file(dir / "e1").find("in:4:"), std::string::npos)
      << mlt::read_file(dir / "e1");
  mlt::Redis redis;
  EXPECT_EQ(redis.integer({"LLEN", list}), 0);  // nothing pushed from a refused file
  EXPECT_EQ(mlt::run(bin + "/mlctl judge -f " + dir / "in" + " >/dev/null 2>" + dir / "e2"), 1);
  EXPECT_NE(mlt::read_file(dir / "e2").find("in:4:"), std::string::npos)
      << mlt::read_file(dir / "e2");
  // A line past 1 MiB is refused by both, without being kept whole.
  mlt::write_file(dir / "long", "7 1 2 " + std::string((1 << 20) + 1, 'x') + "\n");
  EXPECT_EQ(mlt::run(bin + "/ml_sample_push -k " + list + " -f " + dir / "long" + " 2>/dev/null"),
            1);
  EXPECT_EQ(mlt::run(bin + "/mlctl judge -f " + dir / "long" + " >/dev/null 2>&1"), 1);
  redis.cmd({"DEL", list});
}

}  // namespace
