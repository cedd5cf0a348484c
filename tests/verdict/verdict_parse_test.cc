// The verdict's readers of what others write into Redis: argument notices
// (whole, cut at the daemon's 1024-byte buffer, or hostile), model texts and
// boxplot fences. No service is involved.
#include <gtest/gtest.h>

#include <string>

#include "model/math_model_thread.h"
#include "verdict/verdict_cache.h"

namespace {

using std::string;

static_assert(mlv::kModelStatesMax == ML_HMM_STATES, "the verdict's bound is the daemon's model");

// A notice as the daemon prints it (json-c's spaced form), names already
// escaped, cut to the 1023 bytes its buffer holds.
string daemon_notice(const string &domain, const string &url, const string &escaped_name) {
  string t =
      "{ \"mtype\": 3, \"ctype\": 1, \"adomname\": \"root\", \"policyname\": \"p\", "
      "\"domain_name\": \"";
  t += domain;
  t += "\", \"urlid\": \"";
  t += url;
  t += "\", \"argname\": \"";
  t += escaped_name;
  t += "\", \"source\": \"ml_daemon\" }";
  return t.substr(0, 1023);
}

TEST(VerdictNotice, WholeCutAndHostileNoticesNameOnlyWhatTheyMayName) {
  mlv::notice n;
  // Whole: exact names.
  ASSERT_TRUE(mlv::decode_notice(daemon_notice("shop.example", "7", "qty"), &n));
  EXPECT_TRUE(mlv::notice_names(n, "shop.example", 7, "qty"));
  EXPECT_FALSE(mlv::notice_names(n, "shop.example", 7, "qt"));
  EXPECT_FALSE(mlv::notice_names(n, "shop.example", 8, "qty"));
  EXPECT_FALSE(mlv::notice_names(n, "other.example", 7, "qty"));
  EXPECT_TRUE(mlv::notice_names(n, "", 7, "qty"));  // a domain not yet read may be it

  // A name cut by the buffer: its URL's arguments that begin with the cut
  // name may be named, nothing else.
  const string long_name(1000, 'n');
  for (int cut : {0, 1, 2, 3, 7, 12, 15}) {
    string text = daemon_notice("shop.example", "7", long_name);
    text.resize(text.size() - static_cast<size_t>(cut));
    ASSERT_TRUE(mlv::decode_notice(text, &n)) << cut;
    EXPECT_TRUE(mlv::notice_names(n, "shop.example", 7, long_name)) << cut;
    EXPECT_FALSE(mlv::notice_names(n, "shop.example", 7, "qty")) << cut;
    EXPECT_FALSE(mlv::notice_names(n, "shop.example", 8, long_name)) << cut;
    EXPECT_FALSE(mlv::notice_names(n, "other.example", 7, long_name)) << cut;
  }
  // Control bytes escaped six-fold, cut inside an escape.
  string escaped;
  for (int i = 0; i < 200; i++) escaped += "\\u0001";
  for (size_t keep : {1020u, 1021u, 1022u, 1023u}) {
    ASSERT_TRUE(mlv::decode_notice(daemon_notice("shop.example", "9", escaped).substr(0, keep), &n))
        << keep;
    EXPECT_TRUE(mlv::notice_names(n, "shop.example", 9, string(200, '\1'))) << keep;
    EXPECT_FALSE(mlv::notice_names(n, "shop.example", 9, "q")) << keep;
  }
  // Cut inside the key that follows the name: the name came through whole.
  const string whole = daemon_notice("shop.example", "7", "qty");
  ASSERT_TRUE(mlv::decode_notice(whole.substr(0, whole.find("source") + 3), &n));
  EXPECT_TRUE(mlv::notice_names(n, "shop.example", 7, "qty"));
  EXPECT_FALSE(mlv::notice_names(n, "shop.example", 7, "qtyx"));
  // Cut inside the URL id: every argument of the domain may be named.
  ASSERT_TRUE(mlv::decode_notice(whole.substr(0, whole.find("\"7\"") + 2), &n));
  EXPECT_TRUE(mlv::notice_names(n, "shop.example", 71, "x"));
  EXPECT_FALSE(mlv::notice_names(n, "other.example", 7, "qty"));

  // A NUL byte in a name is kept: the name is matched whole, not up to it.
  ASSERT_TRUE(mlv::decode_notice(daemon_notice("shop.example", "7", "a\\u0000b"), &n));
  EXPECT_TRUE(mlv::notice_names(n, "shop.example", 7, string("a\0b", 3)));
  EXPECT_FALSE(mlv::notice_names(n, "shop.example", 7, "a"));

  // Nulls, numbers and other types where texts belong: read or refused,
  // never dereferenced.
  EXPECT_FALSE(mlv::decode_notice(R"({"domain_name":null,"urlid":"7","argname":"q"})", &n));
  ASSERT_TRUE(mlv::decode_notice(R"({"domain_name":"d","urlid":null,"argname":"q"})", &n));
  EXPECT_TRUE(mlv::notice_names(n, "d", 5, "anything"));
  ASSERT_TRUE(mlv::decode_notice(R"({"domain_name":"d","urlid":"7","argname":null})", &n));
  EXPECT_TRUE(mlv::notice_names(n, "d", 7, "q"));
  EXPECT_FALSE(mlv::notice_names(n, "d", 8, "q"));
  ASSERT_TRUE(mlv::decode_notice(R"({"domain_name":"d","urlid":7,"argname":"q"})", &n));
  EXPECT_TRUE(mlv::notice_names(n, "d", 7, "q"));
  ASSERT_TRUE(mlv::decode_notice(R"({"domain_name":"d","urlid":"x7","argname":"q"})", &n));
  EXPECT_FALSE(mlv::notice_names(n, "d", 7, "q"));
  for (const char *bad : {"", "null", "[]", "\"text\"", "{", "{\"urlid\":\"7\"}", "{}}"})
    EXPECT_FALSE(mlv::decode_notice(bad, &n)) << bad;
}

string model_text(int column, const string &data) {
  return "{\"column\":" + std::to_string(column) + ",\"data\":[" + data + "]}";
}

TEST(VerdictParse, ModelTextsAndFencesBeyondWhatTheDaemonWritesAreRefused) {
  int column = 0;
  std::vector<double> data;
  ASSERT_TRUE(mlv::parse_model_text(model_text(2, "0.500000,0.500000"), &column, &data));
  EXPECT_EQ(column, 2);
  EXPECT_EQ(data.size(), 2u);
  // Not probabilities, not numbers, or trailing bytes.
  for (const char *bad : {"1.5", "-0.1", "nan", "inf", "-inf", "0x1p-2", " 0.5", "0.5,"})
    EXPECT_FALSE(mlv::parse_model_text(model_text(1, bad), &column, &data)) << bad;
  EXPECT_FALSE(mlv::parse_model_text(model_text(1, "0.5") + "x", &column, &data));
  // More states, or more entries, than any model the daemon trains.
  EXPECT_FALSE(mlv::parse_model_text(model_text(11, "0.5"), &column, &data));
  string many;
  for (size_t i = 0; i <= mlv::kModelStatesMax * mlv::kModelSymbolsMax; i++)
    many += i ? ",0.1" : "0.1";
  EXPECT_FALSE(mlv::parse_model_text(model_text(10, many), &column, &data));
  // A model of 10 states over the full alphabet at six decimals passes; a
  // consistent model over more symbols than the alphabet has does not.
  auto row = [](size_t n) {
    string r;
    for (size_t i = 0; i < n; i++) r += i ? ",0.100000" : "0.100000";
    return r;
  };
  ml_hmm_model *m = mlv::model_from_texts(model_text(1, row(10)), model_text(10, row(100)),
                                          model_text(10, row(10 * mlv::kModelSymbolsMax)));
  ASSERT_NE(m, nullptr);
  ml_hmm_free(m);
  EXPECT_EQ(mlv::model_from_texts(model_text(1, row(1)), model_text(1, row(1)),
                                  model_text(1, row(mlv::kModelSymbolsMax + 1))),
            nullptr);

  double q4 = 0, q5 = 0;
  EXPECT_TRUE(mlv::parse_fences(R"({"q1":-1.5,"q4":-3.25,"q5":-4})", &q4, &q5));
  EXPECT_DOUBLE_EQ(q4, -3.25);
  EXPECT_DOUBLE_EQ(q5, -4.0);
  // A fence of -Infinity is never crossed: refusing it keeps the check on.
  for (const char *bad : {R"({"q4":-Infinity,"q5":-4})", R"({"q4":-3,"q5":NaN})",
                          R"({"q4":"-3","q5":-4})", R"({"q4":-3})", "[]"})
    EXPECT_FALSE(mlv::parse_fences(bad, &q4, &q5)) << bad;
  EXPECT_FALSE(
      mlv::parse_fences("{\"q4\":-3,\"q5\":-4,\"pad\":\"" + string(2000, 'x') + "\"}", &q4, &q5));
}

}  // namespace
