// The sample message: the fixed 1048-byte binary record the proxy pushes onto
// the Redis list arg:mlnsample for every observed argument value. Integers are
// in the host's byte order, which on the appliance is little-endian; the
// record is read and written with memcpy, never through a cast of the reply
// bytes, so a message copied out of a reply needs no particular alignment.
//
// The receive thread checks only the total length; the length fields inside
// (arg_real_len, arg_len) are checked by the processing threads.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr uint32_t SAMPLE_MSG_LEN = 1048;
// The receive buffer: a popped reply longer than this is cut to this length
// (it is refused anyway; the cut only bounds the copy).
constexpr uint32_t SAMPLE_COPY_MAX = 1281;
constexpr uint32_t SAMPLE_VALUE_MAX = 1028;
constexpr const char *SAMPLE_LIST_KEY = "arg:mlnsample";

struct sample_msg {
  uint32_t domain_id;  // key of domain_info:<domain_id>
  uint32_t url_id;
  uint32_t arg_id;
  uint32_t arg_real_len;  // the value's real length in the request
  uint32_t arg_len;       // value bytes carried in arg_value
  unsigned char arg_value[SAMPLE_VALUE_MAX];
};

static_assert(std::endian::native == std::endian::little,
              "sample messages are little-endian records copied as they stand");
static_assert(sizeof(sample_msg) == SAMPLE_MSG_LEN);
static_assert(offsetof(sample_msg, domain_id) == 0);
static_assert(offsetof(sample_msg, url_id) == 4);
static_assert(offsetof(sample_msg, arg_id) == 8);
static_assert(offsetof(sample_msg, arg_real_len) == 12);
static_assert(offsetof(sample_msg, arg_len) == 16);
static_assert(offsetof(sample_msg, arg_value) == 20);

// Fills msg (zeroed first) for a value of len bytes: arg_real_len is len and
// arg_value carries at most SAMPLE_VALUE_MAX of them. A null value is empty.
inline void sample_msg_fill(sample_msg *msg, uint32_t domain_id, uint32_t url_id, uint32_t arg_id,
                            const void *value, uint32_t len) {
  memset(msg, 0, sizeof *msg);
  msg->domain_id = domain_id;
  msg->url_id = url_id;
  msg->arg_id = arg_id;
  if (!value) len = 0;
  msg->arg_real_len = len;
  msg->arg_len = len < SAMPLE_VALUE_MAX ? len : SAMPLE_VALUE_MAX;
  if (msg->arg_len) memcpy(msg->arg_value, value, msg->arg_len);
}

// The bucket that takes a sample: the identifiers summed in unsigned 32-bit
// arithmetic (the sum wraps around), modulo the bucket count. All samples of
// one argument thus reach the same processing thread. n must be non-zero.
inline uint32_t sample_bucket_index(const sample_msg *msg, uint32_t n) {
  uint32_t sum = msg->domain_id + msg->url_id + msg->arg_id;
  return sum % n;
}
