// What mlgate decodes of a live request: the fields a proxy hands over
// (method, target, Host, Content-Type, body), split from the input at zero
// bytes, through the decoder every door uses. A request decoded keeps its
// promises: a host fit to print, no more arguments than the bound, no bytes
// made up; a refused one says why. The same bytes as the body of a form and
// as the query give the same arguments, since both doors may see either.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "traffic/request_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 16) return 0;
  std::string_view in(reinterpret_cast<const char *>(data), size);
  std::vector<std::string_view> f;
  for (size_t i = 0; i < 5; i++) {
    const size_t z = in.find('\0');
    f.push_back(in.substr(0, z));
    in = z == std::string_view::npos ? std::string_view() : in.substr(z + 1);
  }
  traffic::Limits limits;
  limits.args = 32;
  traffic::Request req;
  std::string err;
  const int rc = traffic::decode_request(f[0], f[1], f[2], f[3], f[4], limits, &req, &err);
  if (rc != 0) {
    if (err.empty() || req.args.size() > limits.args) abort();
    return 0;
  }
  if (!traffic::valid_host(req.host) || req.args.size() > limits.args) abort();
  if (req.path.empty() || req.method.size() > 32) abort();
  size_t bytes = 0;
  for (const auto &a : req.args) bytes += a.name.size() + a.value.size();
  if (bytes > f[1].size() + f[4].size()) abort();
  // The body as a form and the same bytes as a query give the same arguments
  // (but for a '#', which ends a target and not a body).
  if (f[4].find('#') != std::string_view::npos) return 0;
  traffic::Request as_body, as_query;
  std::string e1, e2;
  const std::string target = "/?" + std::string(f[4]);
  const int b = traffic::decode_request("POST", "/", "h", "application/x-www-form-urlencoded", f[4],
                                        limits, &as_body, &e1);
  const int q = traffic::decode_request("GET", target, "h", "", "", limits, &as_query, &e2);
  if (b != q || as_body.args.size() != as_query.args.size()) abort();
  for (size_t i = 0; i < as_body.args.size(); i++)
    if (as_body.args[i].name != as_query.args[i].name ||
        as_body.args[i].value != as_query.args[i].value)
      abort();
  return 0;
}
