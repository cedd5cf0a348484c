// Argument notices as anyone may publish them, whole, cut or hostile: the
// decoder never reads outside the text, and a decoded notice always names
// the argument it carries (a cut name or URL as a prefix of itself).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "verdict/verdict_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  mlv::notice n;
  if (!mlv::decode_notice(text, &n)) return 0;
  if (!mlv::notice_names_domain(n, n.domain_name)) abort();
  if (!mlv::notice_names_domain(n, "")) abort();  // a domain not read may be any
  const uint32_t url = n.url_number >= 0 ? static_cast<uint32_t>(n.url_number) : 0;
  // A whole URL id that is not a number names no argument at all.
  if (n.has_url && n.url_whole && n.url_number < 0) {
    if (mlv::notice_names(n, n.domain_name, url, n.arg_name)) abort();
    return 0;
  }
  if (!mlv::notice_names(n, n.domain_name, url, n.arg_name)) abort();
  // A cut name names every name it begins.
  if (n.has_name && !n.name_whole && !mlv::notice_names(n, n.domain_name, url, n.arg_name + "xyz"))
    abort();
  // A whole name names nothing longer.
  if (n.has_name && n.name_whole && n.url_whole && n.url_number >= 0 &&
      mlv::notice_names(n, n.domain_name, url, n.arg_name + "x"))
    abort();
  return 0;
}
