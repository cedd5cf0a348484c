// The rules the verdict derives from an argument's learned patterns, each on
// small hand-made arguments: a value that must stay normal and one that must
// be flagged. The fences are set far below any score so that only the rules
// (and the learned patterns) decide; no service is involved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "verdict/verdict_cache.h"

namespace {

using std::string;

string pattern_of(const string &v) {
  std::vector<int32_t> syms(v.size() + 1);
  int32_t n = static_cast<int32_t>(syms.size() * sizeof(int32_t));
  EXPECT_EQ(0, ml_hmm_generalize_str(reinterpret_cast<const unsigned char *>(v.data()),
                                     static_cast<uint32_t>(v.size()), syms.data(), &n));
  string p;
  for (int32_t k = 0; k < n; ++k) p.push_back(static_cast<char>('0' + syms[k]));
  return p;
}

// An argument learned from values (each pattern with its count), as loaded.
std::unique_ptr<mlv::arg_entry> learned(const std::vector<string> &values) {
  std::map<string, std::pair<string, int>> by_pattern;
  std::map<string, uint64_t> bits;  // the distinct-value sketch the daemon keeps
  for (const string &v : values) {
    const string pat = pattern_of(v);
    auto &e = by_pattern[pat];
    if (e.second++ == 0) e.first = v;
    bits[pat] |= ml_hmm_value_bit(reinterpret_cast<const unsigned char *>(v.data()),
                                  static_cast<uint32_t>(v.size()));
  }
  ml_sample_list list{};
  list.items = static_cast<ml_sample_item *>(calloc(by_pattern.size(), sizeof(ml_sample_item)));
  for (const auto &[pat, e] : by_pattern) {
    ml_sample_item &it = list.items[list.count++];
    it.sample_str = static_cast<char *>(calloc(e.first.size() + 1, 1));
    memcpy(it.sample_str, e.first.data(), e.first.size());
    it.sample_len = it.sample_len_copy = static_cast<uint32_t>(e.first.size());
    it.pattern = static_cast<char *>(calloc(e.first.size() + 1, 1));
    it.pattern_count = e.second;
  }
  ml_hmm_model *m = nullptr;
  EXPECT_EQ(0, ml_train_hmm_model(&m, &list, 10));
  ml_free_sample_items(&list);
  auto e = std::make_unique<mlv::arg_entry>();
  e->model.reset(m);
  e->state = MLV_STATE_LEARNED;
  e->has_fences = true;
  e->q4 = -1000.0;  // only the rules may flag
  e->q5 = -1500.0;
  e->fence_source = "test";
  for (const auto &[pat, pe] : by_pattern) e->patterns[pat] = {pe.second, bits[pat]};
  mlv::derive_rules(e.get());
  return e;
}

int judge(const mlv::arg_entry &e, const string &v, mlv_result *r) {
  memset(r, 0, sizeof *r);
  return mlv::judge_value(e, v.data(), v.size(), 0, r);
}

std::vector<string> repeat(std::vector<std::pair<string, int>> counts) {
  std::vector<string> out;
  for (const auto &[v, n] : counts) out.insert(out.end(), static_cast<size_t>(n), v);
  return out;
}

// Values of varied shapes (letters and digits mixed), many of them seen once.
std::vector<string> varied(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<string> out;
  for (int i = 0; i < n; ++i) {
    string v;
    for (int k = 1 + static_cast<int>(rng() % 6); k > 0; --k)
      v += rng() % 2 ? string(1 + rng() % 2, 'a') : string(1 + rng() % 2, '7');
    out.push_back(v);
  }
  return out;
}

TEST(VerdictRules, ANarrowArgumentKnowsAllItsShapes) {
  mlv_result r;
  // Two shapes over 500 values, none seen once: a new shape is definite.
  auto closed = learned(repeat({{"treeInbox", 400}, {"treePersFolder", 100}}));
  EXPECT_TRUE(closed->rules.closed);
  EXPECT_EQ(judge(*closed, "treeOverview", &r), MLV_NORMAL) << r.reason;  // a learned shape
  EXPECT_EQ(judge(*closed, "treeinb", &r), MLV_DEFINITE) << r.reason;     // learned neighbours
  EXPECT_NE(strstr(r.reason, "new pattern"), nullptr) << r.reason;
  // Ten shapes seen once in 510 values: new shapes still come; the fences decide.
  std::vector<string> open = repeat({{"treeInbox", 400}, {"treePersFolder", 100}});
  for (const char *v : {"a1", "b-2", "c_3", "dd4", "E5", "f.6", "g7h", "8i", "j9j9", "k:0"})
    open.push_back(v);
  auto loose = learned(open);
  EXPECT_FALSE(loose->rules.closed);
  EXPECT_EQ(judge(*loose, "treeInboxL", &r), MLV_NORMAL) << r.reason;
  // Too few values to call any shape new.
  auto few = learned(repeat({{"treeInbox", 40}, {"treePersFolder", 10}}));
  EXPECT_EQ(judge(*few, "treeInboxL", &r), MLV_NORMAL) << r.reason;
}

TEST(VerdictRules, ASymbolNoLearnedValueHadIsForeign) {
  mlv_result r;
  auto e = learned(varied(300, 1));
  ASSERT_FALSE(e->rules.closed);
  EXPECT_TRUE(e->rules.symbols_known);
  EXPECT_EQ(judge(*e, "a7a7a7a7", &r), MLV_NORMAL) << r.reason;  // known symbols, maybe new shape
  EXPECT_EQ(judge(*e, "a7-7", &r), MLV_DEFINITE) << r.reason;
  EXPECT_NE(strstr(r.reason, "symbol"), nullptr) << r.reason;
  EXPECT_EQ(judge(*e, "a7A", &r), MLV_DEFINITE) << r.reason;  // a letter of another case
  // A symbol seen in a single value says new symbols still come: none is foreign.
  std::vector<string> with_rare = varied(300, 1);
  with_rare.push_back("a-7");
  auto rare = learned(with_rare);
  EXPECT_FALSE(rare->rules.symbols_known);
  EXPECT_EQ(judge(*rare, "a7_7", &r), MLV_NORMAL) << r.reason;
  // From 60 values a symbol in use might not have shown up yet.
  auto few = learned(varied(60, 1));
  EXPECT_FALSE(few->rules.symbols_known);
  EXPECT_EQ(judge(*few, "a7-7", &r), MLV_NORMAL) << r.reason;
}

TEST(VerdictRules, APatternFarLongerThanAnyLearnedOne) {
  mlv_result r;
  auto e = learned(varied(300, 2));
  ASSERT_FALSE(e->rules.closed);
  const int32_t longest = e->rules.max_len;
  string near_limit, beyond;
  for (int32_t i = 0; i < longest + 4; ++i) near_limit += i % 2 ? "7" : "a";
  for (int32_t i = 0; i < 2 * longest + 5; ++i) beyond += i % 2 ? "7" : "a";
  EXPECT_EQ(judge(*e, near_limit, &r), MLV_NORMAL) << r.reason;
  EXPECT_EQ(judge(*e, beyond, &r), MLV_DEFINITE) << r.reason;
  EXPECT_NE(strstr(r.reason, "symbols, learned ones at most"), nullptr) << r.reason;
}

TEST(VerdictRules, WithoutDerivedRulesOnlyPatternsAndFencesDecide) {
  mlv_result r;
  auto e = learned(repeat({{"treeInbox", 400}, {"treePersFolder", 100}}));
  e->rules = mlv::arg_rules{};
  EXPECT_EQ(judge(*e, "treeInboxL", &r), MLV_NORMAL) << r.reason;
  EXPECT_EQ(judge(*e, "tree-Inbox", &r), MLV_NORMAL) << r.reason;
}

}  // namespace

namespace {

TEST(VerdictRules, ShorterNumbersKeepALearnedShapeLongerOnesDoNot) {
  mlv_result r;
  // Ids "<number>_<number>", never with one digit before the underscore, and
  // no value seen once: the argument's shapes are closed.
  std::vector<string> ids;
  for (int i = 0; i < 300; ++i)
    ids.push_back(std::to_string(100 + i % 50) + "_" + std::to_string(10 + i % 7));
  auto e = learned(ids);
  ASSERT_TRUE(e->rules.closed);
  EXPECT_EQ(judge(*e, "74_6", &r), MLV_NORMAL) << r.reason;  // shorter numbers, same shape
  EXPECT_NE(strstr(r.reason, "shorter numbers"), nullptr) << r.reason;
  // More digits than any learned value at that place: a new shape.
  EXPECT_EQ(judge(*e, "123_1234", &r), MLV_DEFINITE) << r.reason;
  // A quantity of one or two digits given four.
  auto quantity = learned(repeat({{"3", 300}, {"12", 30}}));
  EXPECT_EQ(judge(*quantity, "7", &r), MLV_NORMAL) << r.reason;
  EXPECT_EQ(judge(*quantity, "3333", &r), MLV_DEFINITE) << r.reason;
  EXPECT_EQ(judge(*e, "74_6a", &r), MLV_DEFINITE) << r.reason;  // a letter: a new shape
  EXPECT_EQ(judge(*e, "74a_6", &r), MLV_DEFINITE) << r.reason;
  // Letters do not fold: a capital inside a word is a new shape.
  auto tree = learned(repeat({{"treeInbox", 400}, {"treePersFolder", 100}}));
  EXPECT_EQ(judge(*tree, "tLreeInbox", &r), MLV_DEFINITE) << r.reason;
}

}  // namespace

namespace {

// The full Levenshtein table, as the oracle of the banded one.
int full_distance(const string &a, const string &b) {
  std::vector<std::vector<int>> d(a.size() + 1, std::vector<int>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<int>(i);
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); ++i)
    for (size_t j = 1; j <= b.size(); ++j)
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
  return d[a.size()][b.size()];
}

TEST(VerdictRules, BandedEditDistanceAgreesWithTheFullTable) {
  std::mt19937 rng(11);
  for (int t = 0; t < 3000; ++t) {
    string a, b;
    for (int k = static_cast<int>(rng() % 12); k > 0; --k) a.push_back("234_@V"[rng() % 6]);
    for (int k = static_cast<int>(rng() % 12); k > 0; --k) b.push_back("234_@V"[rng() % 6]);
    const int full = full_distance(a, b), limit = static_cast<int>(rng() % 8);
    const int got = mlv::edit_distance(a, b, limit);
    if (full <= limit)
      EXPECT_EQ(got, full) << a << " " << b << " limit " << limit;
    else
      EXPECT_GT(got, limit) << a << " " << b << " limit " << limit;
  }
}

}  // namespace

namespace {

TEST(VerdictRules, AModelOfTheOlderAlphabetJudgesValuesWithoutTheLongRunMark) {
  mlv_result r;
  // Stored before the long-run symbol: one symbol fewer, patterns without marks.
  auto e = learned(repeat({{"abc", 300}, {"abc1", 200}}));
  e->model.reset(ml_hmm_create(10, ML_HMM_SYMBOLS - 1, 3));
  e->patterns = {{pattern_of("abc"), {300, 0}}, {pattern_of("abc1"), {200, 0}}};
  mlv::derive_rules(e.get());
  EXPECT_EQ(judge(*e, "abcdefghij", &r), MLV_NORMAL) << r.reason;  // "333" then
  EXPECT_EQ(string(r.pattern), pattern_of("abc"));
  EXPECT_EQ(r.learned_pattern, 1);
}

}  // namespace

namespace {

// Codes like "ab-12": letters, a hyphen, digits, of varied lengths; every
// shape is seen many times over 600 values.
std::vector<string> codes(int n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<string> out;
  for (int i = 0; i < n; ++i)
    out.push_back(string(1 + rng() % 3, 'q') + "-" + string(1 + rng() % 3, '4'));
  return out;
}

TEST(VerdictRules, NeighboursNoLearnedValueHadAreForeign) {
  mlv_result r;
  auto e = learned(codes(600, 3));
  ASSERT_TRUE(e->rules.pairs_known);
  EXPECT_EQ(judge(*e, "qq-44", &r), MLV_NORMAL) << r.reason;
  // Every symbol is known; their order is not.
  EXPECT_EQ(judge(*e, "q4-44", &r), MLV_DEFINITE) << r.reason;  // a digit inside the letters
  EXPECT_NE(strstr(r.reason, "next to each other"), nullptr) << r.reason;
  EXPECT_EQ(judge(*e, "qq-44q", &r), MLV_DEFINITE) << r.reason;  // a letter at the end
  EXPECT_EQ(judge(*e, "-qq44", &r), MLV_DEFINITE) << r.reason;   // a sign at the start
  // A pair seen in a single value says new pairs still come: none is foreign.
  std::vector<string> with_rare = codes(600, 3);
  with_rare.push_back("4-q");
  auto rare = learned(with_rare);
  EXPECT_FALSE(rare->rules.pairs_known);
  judge(*rare, "q4-44", &r);
  EXPECT_EQ(strstr(r.reason, "next to each other"), nullptr) << r.reason;
}

TEST(VerdictRules, BelowQ4AVariedArgumentsNewShapeOfLearnedNeighboursStaysNormal) {
  mlv_result r;
  // Varied: most values have a shape of their own.
  auto e = learned(varied(300, 4));
  ASSERT_GE(e->rules.new_share, 0.05);
  e->q4 = 0.0;                       // every score is below q4, none below q5
  const string fresh = "aa7aa7aa7";  // a new shape of learned neighbours
  ASSERT_EQ(e->patterns.count(pattern_of(fresh)), 0u);
  EXPECT_EQ(judge(*e, fresh, &r), MLV_NORMAL) << r.reason;
  EXPECT_NE(strstr(r.reason, "every pair of symbols learned"), nullptr) << r.reason;
  // Narrow: a new shape below q4 stays potential.
  std::vector<string> narrow = repeat({{"a7", 60}, {"aa77", 40}});
  narrow.push_back("7a");
  auto n = learned(narrow);
  ASSERT_LT(n->rules.new_share, 0.05);
  n->q4 = 0.0;
  EXPECT_EQ(judge(*n, "a7a", &r), MLV_POTENTIAL) << r.reason;
}

// "?q=&page=2": an empty value has no symbol and no neighbour, so every rule
// and the model's empty-pattern score would flag it, though nothing can be
// hidden in it and the daemon never learns one.
TEST(VerdictRules, AnEmptyValueIsNormalInEveryArgument) {
  mlv_result r;
  auto closed = learned(repeat({{"treeInbox", 400}, {"treePersFolder", 100}}));
  auto loose = learned(varied(500, 7));
  auto numbers = learned(repeat({{"12", 300}, {"7", 200}, {"345", 100}}));
  for (const auto *e : {closed.get(), loose.get(), numbers.get()})
    EXPECT_EQ(judge(*e, "", &r), MLV_NORMAL) << r.reason;
  // The rules still speak for a value of one character.
  EXPECT_EQ(judge(*closed, "'", &r), MLV_DEFINITE) << r.reason;
  EXPECT_EQ(judge(*numbers, "x", &r), MLV_DEFINITE) << r.reason;
}

}  // namespace

namespace {

// Copies of requests (retries, double submits, a form sent as GET and then
// as POST) are not evidence: an argument learned from its traffic sent two or
// three times has the rules and verdicts it has from the traffic sent once.
TEST(VerdictRules, CopiesOfRequestsChangeNoRuleNorVerdict) {
  std::mt19937 rng(21);
  std::vector<string> once;
  for (int i = 0; i < 900; ++i) {  // passwords: classes mixed at random
    string v;
    for (int k = 6 + static_cast<int>(rng() % 5); k > 0; --k) v.push_back("aZ7"[rng() % 3]);
    once.push_back(v);
  }
  auto plain = learned(once);
  std::vector<string> probes = {"aaZZ77aZ", "Z7Z7Z7Z7Z7Z7", "7",
                                "aZ7-aZ7",  "aZ7 OR 1=1",   "aaaaaa!"};
  for (int i = 0; i < 200; ++i) probes.push_back(once[static_cast<size_t>(i)] + "Za7"[i % 3]);
  for (int copies : {2, 3}) {
    std::vector<string> sent;
    for (const string &v : once) sent.insert(sent.end(), static_cast<size_t>(copies), v);
    auto e = learned(sent);
    EXPECT_EQ(e->rules.total, plain->rules.total) << copies;
    EXPECT_EQ(e->rules.singles, plain->rules.singles) << copies;
    EXPECT_EQ(e->rules.closed, plain->rules.closed) << copies;
    EXPECT_EQ(e->rules.symbols_known, plain->rules.symbols_known) << copies;
    EXPECT_EQ(e->rules.pairs_known, plain->rules.pairs_known) << copies;
    mlv_result a, b;
    for (const string &p : probes)
      EXPECT_EQ(judge(*e, p, &a), judge(*plain, p, &b)) << copies << " " << p << ": " << a.reason;
  }
  // Counted over samples, every pattern of the copied traffic is seen at
  // least twice, and the argument looked closed: a new password shape was
  // definite. It stays what the fences say.
  ASSERT_FALSE(plain->rules.closed);
  std::vector<string> twice;
  for (const string &v : once) twice.insert(twice.end(), 2, v);
  auto e = learned(twice);
  mlv_result r;
  const string fresh = "Z7aZ7aZ7aZ7aZ";
  ASSERT_EQ(e->patterns.count(pattern_of(fresh)), 0u);
  EXPECT_EQ(judge(*e, fresh, &r), MLV_NORMAL) << r.reason;
  // A value sent once among copies still counts: the evidence of a pattern
  // is never below its distinct values.
  mlv::learned_pattern p{3, 0};
  p.value_bits = 0x7;  // three values, each once
  EXPECT_EQ(ml_hmm_distinct_values(p.count, p.value_bits), 3);
  EXPECT_EQ(ml_hmm_distinct_values(6, 0x1), 1);  // one value six times
  EXPECT_EQ(ml_hmm_distinct_values(6, 0), 6);    // no sketch: counted by samples
}

}  // namespace

namespace {

// The rules flag what is new; a shape the trainer set aside as noise was seen
// while learning, so it is left to the fences, and its symbols and
// neighbours are not foreign. Not learned either: no shortcut to normal.
TEST(VerdictRules, ShapesSetAsideAsNoiseAreNotNewButNotLearned) {
  mlv_result r;
  auto e = learned(repeat({{"treeInbox", 800}, {"treePersFolder", 200}}));
  ASSERT_TRUE(e->rules.closed);
  ASSERT_EQ(judge(*e, "SOS", &r), MLV_DEFINITE) << r.reason;  // new to the learned patterns
  e->noise[pattern_of("HMS")] = {3, 0x7};                     // acronyms, seen three times
  mlv::derive_rules(e.get());
  EXPECT_TRUE(e->rules.closed);
  EXPECT_EQ(judge(*e, "SOS", &r), MLV_NORMAL) << r.reason;  // the fences (set far) decide
  EXPECT_EQ(r.learned_pattern, 0);
  EXPECT_NE(strstr(r.reason, "q4"), nullptr) << r.reason;
  EXPECT_EQ(judge(*e, "SOS1", &r), MLV_DEFINITE) << r.reason;  // a digit: still new
  e->q4 = 0.0;
  e->q5 = -0.001;  // every score below q5
  EXPECT_EQ(judge(*e, "SOS", &r), MLV_DEFINITE) << r.reason;
}

}  // namespace
