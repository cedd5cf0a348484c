// Puts a learned argument into Redis and a learning database the way the
// daemon leaves it after a build, without running the daemon: the model is
// trained with the math library and written with the daemon's own model and
// boxplot writers, the learned patterns go into the sample table.
//
// Shared by the verdict and mlctl tests and by bench/verdict; it reports
// failures as text instead of test assertions so the benchmark can use it.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mlt {

struct LearnedSpec {
  uint32_t domain = 0;
  uint32_t url = 0;
  uint32_t arg = 0;
  std::string name;                 // arg_name
  std::vector<std::string> values;  // the traffic learned, oldest first
  int state = 3;                    // learned; 4 for manually learned
  bool boxplot = true;              // false: no boxplot group (as a manual build)
};

// What the build produced, for the tests' own checks.
struct LearnedOut {
  double q4 = 0;
  double q5 = 0;
  std::vector<std::string> patterns;  // learned patterns (noise flag 0)
};

// Writes domain_info:<domain> naming the learning database db.
void write_domain(uint32_t domain, const std::string &domain_name, const std::string &db);

// Trains and writes the argument (hash, model texts, boxplot, sample rows in
// db). "" on success, else what failed.
std::string write_learned(const LearnedSpec &spec, const std::string &db, LearnedOut *out);

// Writes a bare argument hash in the given state (collecting, building...).
void write_state(uint32_t domain, uint32_t url, uint32_t arg, const std::string &name, int state);

// Inserts one learned pattern row (noise flag 0) for the argument.
std::string add_learned_row(const std::string &db, uint32_t arg, const std::string &value,
                            const std::string &pattern, int count);

// The pattern text of a value, as the daemon stores it.
std::string pattern_of(const std::string &value);

// Deletes every key of the domain (arg:, arg:boxplot:, arg:manuals:, domain_info:).
void delete_domain_keys(uint32_t domain);

// Realistic values of a few kinds, seeded: "qty" (small counts), "email",
// "name" (person names), "price", "date", "text" (short free text).
std::vector<std::string> traffic(const std::string &kind, int n, uint32_t seed);

}  // namespace mlt
