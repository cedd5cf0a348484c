// mlfeed --judge: what the proxy would decide for each recorded request,
// from what the daemon learned (verdict/verdict.h). Nothing is pushed and no
// id is made: a URL never fed leaves its arguments not learned, and a name
// never fed is left to the verdict library, which calls it an unknown
// argument once the URL's other arguments are learned.
//
// A request takes the gravest verdict of its arguments
// (traffic/request_verdict.h); it is flagged when that is definite,
// potential or unknown_argument. Empty values are not judged (the
// daemon never learns one).
//
// Thread safety: one thread; it owns its verdict context.
#pragma once

#include <hiredis/hiredis.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "traffic/id_store.h"
#include "traffic/request_parse.h"
#include "traffic/request_verdict.h"
#include "verdict/verdict.h"

namespace mlfeed {

using traffic::printable;
using traffic::request_verdict_name;
using traffic::request_verdict_of;
using enum traffic::RequestVerdict;

class Judge {
 public:
  // c: ids are looked up on it (owned by the caller). per_arg: one
  // tab-separated line per argument instead of one line per request. point:
  // the operating point (MLV_POINT_*) the summary counts blocked requests at.
  Judge(redisContext *c, uint32_t domain_id, const std::string &redis_host, int redis_port,
        bool per_arg, int point = MLV_POINT_DEFINITE);
  ~Judge();
  Judge(const Judge &) = delete;
  Judge &operator=(const Judge &) = delete;

  bool ready() const { return ctx_ != nullptr; }
  const std::string &error() const { return error_; }

  // Judges req and writes its line(s) to out. 0, or -1 when a service failed
  // (error()).
  int request(const traffic::Request &req, FILE *out);
  // Requests per verdict, and the refused ones.
  void summary(FILE *out, unsigned long refused) const;

 private:
  int argument(uint32_t url, bool url_known, const traffic::Argument &a, mlv_result *r);
  void write_arg_line(FILE *out, const traffic::Request &req, const traffic::Argument &a,
                      const mlv_result &r);

  traffic::IdStore ids_;
  uint32_t domain_;
  bool per_arg_;
  int point_;
  bool header_done_ = false;
  mlv_ctx *ctx_ = nullptr;
  std::string error_;
  unsigned long counts_[kKinds] = {};
};

}  // namespace mlfeed
