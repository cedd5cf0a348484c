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

// RPUSHes every message count times onto key, in order. 0, or 2 when Redis
// failed (err then says why); messages sent before a failure stay pushed.
int push(redisContext *c, const std::string &key, const std::vector<std::string> &msgs,
         unsigned long count, std::string *err);

}  // namespace mlpush
