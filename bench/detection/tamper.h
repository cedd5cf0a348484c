// Anomalies made from normal values, shared by the detection benchmarks: one
// character of another class appended, inserted or replacing one, letters or
// a sign in a digit field (no letters), the value four times longer, every byte
// percent-encoded, a wfuzz injection line instead, a filled sqlmap payload
// after it; and the kinds' names, with "unknown_name" (an argument name the
// URL never had) last, which the caller makes itself.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace detection {

using Rng = std::mt19937_64;

struct Attacks {
  std::vector<std::string> wfuzz, sqlmap;
};

// wfuzz's injection lists (alphanumeric probes left out) and sqlmap's
// payload templates, from their Debian packages; empty when absent.
Attacks load_attacks();

// A sqlmap payload template with its [PLACEHOLDER]s filled in around orig.
std::string fill(const std::string &t, const std::string &orig, Rng &r);

// A value of digits, maybe with signs or separators, and no letter: what the
// kinds "letters" and "sign" change (a number, a date, a price, an id).
bool digit_field(const std::string &v);

// The tampered value of kind, or false when the value does not allow it
// (letters and sign need a digit field; v must not be empty).
bool tamper(const std::string &kind, const std::string &v, const Attacks &a, Rng &r,
            std::string *out);

constexpr int kKindCount = 10;
extern const char *const kKinds[kKindCount];

// How real traffic repeats itself, applied to a training stream: "plain"
// (as recorded); "k2" and "k3", every request sent 2 or 3 times in a row
// (retries, double submits); "twins", every request sent again 1 to 20
// requests later (a form sent as GET and then as POST); "bursts", one
// request in a hundred repeated 200 to 500 times in a row (a crawler or a
// monitoring probe). A detection rule must give the same verdicts on each.
constexpr int kRepeatCount = 5;
extern const char *const kRepeats[kRepeatCount];

// The order in which the requests 0..n-1 of a stream arrive under the
// repetition kRepeats[kind]: indices, each as often as it is sent.
std::vector<size_t> repeat_order(size_t n, int kind, Rng &r);

}  // namespace detection
