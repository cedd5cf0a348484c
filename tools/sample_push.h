// Packing and pushing of sample messages, shared by the operator programs
// that play the proxy's part (ml_sample_push, mlfeed).
//
// A message is the 1048-byte record of intake/sample_msg.h; the proxy carries
// at most a prefix of a long value and states its real length beside it, so
// the packing keeps the two lengths apart. Pushing sends RPUSH commands of up
// to kPushBatch messages, pipelined, so that a large run goes at the server's
// pace rather than one round trip per message.
//
// Thread safety: none needed; each caller passes its own hiredis context.
#pragma once

#include <hiredis/hiredis.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace mlpush {

constexpr size_t kPushBatch = 1000;  // messages per RPUSH

// The bytes of one message: carried (at most the record's value field) as the
// value and real_len as its length in the request, cut or zero-padded to
// length bytes (the record's own size unless a caller tests length checks).
std::string pack(uint32_t domain_id, uint32_t url_id, uint32_t arg_id, std::string_view carried,
                 uint32_t real_len, size_t length);

// The proxy carries at most this many bytes of a value; the daemon refuses a
// message that claims more than 1025, and judges anything above 256 by its
// real length alone.
constexpr size_t kCarryMax = 1024;

// The message of one value as the proxy sends it: at most kCarryMax bytes of
// value carried, and real_len, the whole value's length, beside them.
std::string pack_sample(uint32_t domain_id, uint32_t url_id, uint32_t arg_id,
                        std::string_view value, size_t real_len);

// Decimal digits only, at most 4294967295: no sign, blank or base prefix
// (strtoull would take " +7"), so every tool reading these files agrees.
bool parse_u32(std::string_view text, uint32_t *out);

// One line of a sample file, "DOMAIN_ID URL_ID ARG_ID VALUE" (no line end):
// the value is the rest after the blank that ends ARG_ID, blanks included,
// and empty when ARG_ID ends the line. False when an id is malformed.
struct SampleLine {
  uint32_t domain_id = 0, url_id = 0, arg_id = 0;
  std::string value;
};
bool parse_sample_line(std::string_view line, SampleLine *out);

// A line of a file read at most max bytes at a time: the line end is
// dropped (LF or CRLF), *too_long set when the line was longer (its bytes
// are then skipped, not kept). False at the end of the file.
constexpr size_t kSampleLineMax = 1 << 20;
bool read_line(FILE *f, std::string *line, bool *too_long, size_t max = kSampleLineMax);

// RPUSHes every message count times onto key, in order. 0, or 2 when Redis
// failed (err then says why); messages sent before a failure stay pushed.
int push(redisContext *c, const std::string &key, const std::vector<std::string> &msgs,
         unsigned long count, std::string *err);

}  // namespace mlpush
