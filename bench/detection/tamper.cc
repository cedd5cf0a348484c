#include "bench/detection/tamper.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>

#include "bench/detection/bench_text.h"

namespace detection {

namespace {

char char_of_class(int cls, Rng &r) {
  static const std::string punct = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
  switch (cls) {
    case 0:
      return static_cast<char>('0' + r() % 10);
    case 1:
      return static_cast<char>('a' + r() % 26);
    case 2:
      return static_cast<char>('A' + r() % 26);
    default:
      return punct[r() % punct.size()];
  }
}

int class_of(char c) {
  if (std::isdigit(static_cast<unsigned char>(c))) return 0;
  if (std::islower(static_cast<unsigned char>(c))) return 1;
  if (std::isupper(static_cast<unsigned char>(c))) return 2;
  return 3;
}

char other_class(char near, Rng &r) {
  int cls = static_cast<int>(r() % 3);
  if (cls >= class_of(near)) cls++;
  return char_of_class(cls, r);
}

}  // namespace

bool digit_field(const std::string &v) {
  return std::any_of(v.begin(), v.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
         std::none_of(v.begin(), v.end(),
                      [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
}

namespace {

std::string percent_all(const std::string &v) {
  std::string s;
  char buf[4];
  for (unsigned char c : v) {
    snprintf(buf, sizeof buf, "%%%02X", c);
    s += buf;
  }
  return s;
}

}  // namespace

bool tamper(const std::string &kind, const std::string &v, const Attacks &a, Rng &r,
            std::string *out) {
  const size_t pos = r() % v.size();
  if (kind == "append") {
    *out = v + other_class(v.back(), r);
  } else if (kind == "insert") {
    *out = v.substr(0, pos) + other_class(v[pos], r) + v.substr(pos);
  } else if (kind == "replace") {
    *out = v;
    (*out)[pos] = other_class(v[pos], r);
  } else if (kind == "letters" || kind == "sign") {
    if (!digit_field(v)) return false;
    if (kind == "sign") {
      *out = (r() % 2 ? "-" : "+") + v;
      return true;
    }
    *out = v;
    for (char &c : *out)
      if (std::isdigit(static_cast<unsigned char>(c))) c = static_cast<char>('a' + r() % 26);
  } else if (kind == "longer") {
    *out = v;
    while (out->size() < 4 * v.size()) *out += v;
  } else if (kind == "reencode") {
    *out = percent_all(v);
  } else if (kind == "wfuzz") {
    *out = a.wfuzz[r() % a.wfuzz.size()];
  } else if (kind == "sqlmap") {
    *out = r() % 2 ? v + " " + fill(a.sqlmap[r() % a.sqlmap.size()], v, r)
                   : v + "' " + fill(a.sqlmap[r() % a.sqlmap.size()], v, r) + "-- -";
  }
  return *out != v;
}

const char *const kRepeats[kRepeatCount] = {"plain", "k2", "k3", "twins", "bursts"};

std::vector<size_t> repeat_order(size_t n, int kind, Rng &r) {
  std::vector<size_t> out;
  const std::string_view name = kRepeats[kind];
  if (name == "twins") {
    // Each request is sent a second time a few requests later: a pending
    // list of (due position, index) drained as the stream goes on.
    std::vector<std::pair<size_t, size_t>> due;
    for (size_t i = 0; i < n; ++i) {
      out.push_back(i);
      due.emplace_back(out.size() + 1 + r() % 20, i);
      for (size_t k = 0; k < due.size();)
        if (due[k].first <= out.size()) {
          out.push_back(due[k].second);
          due.erase(due.begin() + static_cast<long>(k));
        } else {
          ++k;
        }
    }
    for (const auto &d : due) out.push_back(d.second);
    return out;
  }
  for (size_t i = 0; i < n; ++i) {
    size_t times = 1;
    if (name == "k2") times = 2;
    if (name == "k3") times = 3;
    if (name == "bursts" && r() % 100 == 0) times = 200 + r() % 301;
    out.insert(out.end(), times, i);
  }
  return out;
}

const char *const kKinds[kKindCount] = {"append", "insert",   "replace", "letters", "sign",
                                        "longer", "reencode", "wfuzz",   "sqlmap",  "unknown_name"};

namespace {

std::string unescape_xml(std::string s) {
  for (auto [from, to] : {std::pair<std::string, std::string>{"&lt;", "<"},
                          {"&gt;", ">"},
                          {"&quot;", "\""},
                          {"&apos;", "'"},
                          {"&amp;", "&"}})
    for (size_t p; (p = s.find(from)) != std::string::npos;) s.replace(p, from.size(), to);
  return s;
}

}  // namespace

std::string fill(const std::string &t, const std::string &orig, Rng &r) {
  std::string out;
  for (size_t i = 0; i < t.size();) {
    const size_t e = t[i] == '[' ? t.find(']', i) : std::string::npos;
    const std::string name = e == std::string::npos ? "" : t.substr(i + 1, e - i - 1);
    const bool tag = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
      return std::isupper(static_cast<unsigned char>(c)) ||
             std::isdigit(static_cast<unsigned char>(c)) || c == '_';
    });
    if (!tag) {
      out.push_back(t[i++]);
      continue;
    }
    if (name == "ORIGVALUE") {
      out += orig;
    } else if (name == "RANDSTR" || name == "DELIMITER_START" || name == "DELIMITER_STOP") {
      for (int k = 0; k < 5; ++k) out.push_back(static_cast<char>('a' + r() % 26));
    } else {
      out += std::to_string(1000 + r() % 9000);
    }
    i = e + 1;
  }
  return out;
}

Attacks load_attacks() {
  Attacks a;
  const std::string dir = "/usr/share/wfuzz/wordlist/Injections/";
  std::set<std::string> all;
  for (const char *f :
       {"All_attack.txt", "SQL.txt", "Traversal.txt", "XML.txt", "XSS.txt", "bad_chars.txt"})
    for (const std::string &l : read_lines(dir + f)) all.insert(l);
  for (const std::string &l : all)
    if (std::any_of(l.begin(), l.end(),
                    [](unsigned char c) { return !std::isalnum(c) && c != ' '; }))
      a.wfuzz.push_back(l);
  for (const char *f : {"boolean_blind", "error_based", "inline_query", "stacked_queries",
                        "time_blind", "union_query"}) {
    std::ifstream in(std::string("/usr/share/sqlmap/data/xml/payloads/") + f + ".xml");
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string t = ss.str();
    for (size_t p = 0; (p = t.find("<payload>", p)) != std::string::npos;) {
      const size_t b = p + 9, e = t.find("</payload>", b);
      if (e == std::string::npos) break;
      if (e > b) a.sqlmap.push_back(unescape_xml(t.substr(b, e - b)));
      p = e;
    }
  }
  return a;
}

}  // namespace detection
