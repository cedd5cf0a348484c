// Decoder of the configuration messages published on "channel1". A message
// is a JSON object, for example
//   {"class":0,"action":1,"vdom":"root","policy":"default"}   policy change
//   {"class":2,"action":10,"domain_id":5,"arg_id":7}          relearn
//   {"class":4,"action":6,"domain_id":5,"arg_id":7}           manual learning
// "class" and "action" are required integers; "vdom" and "policy" (strings
// of at most 11 and 63 bytes: a longer one is refused, never cut) and
// "domain_id", "url_id", "arg_id" (integers 0..4294967295) are optional.
#pragma once

#include <cstddef>
#include <cstdint>

// The decoded event, 448 bytes as the configuration framework lays it out.
struct mlne_msg_info {
  int32_t event_class;  // 0 policy, 2 relearn, 4 manual learning; negative: error
  int32_t event_action;
  char vdom[12];          // at most 11 characters
  char policy_name[320];  // at most 63 characters are used
  uint32_t domain_id;
  uint32_t url_id;
  uint32_t arg_id;
  uint8_t reserved[96];
};
static_assert(sizeof(mlne_msg_info) == 448);
static_assert(offsetof(mlne_msg_info, vdom) == 8);
static_assert(offsetof(mlne_msg_info, policy_name) == 20);
static_assert(offsetof(mlne_msg_info, domain_id) == 340);
static_assert(offsetof(mlne_msg_info, arg_id) == 348);

// Decodes len bytes of payload into *info (zeroed first, also when the
// payload is refused). 0 on success; -1 for a null argument, an empty
// payload, text that is not a JSON object, a missing or non-integer class or
// action, or a member of the wrong type or range.
int mlne_get_msg_info(const char *payload, int len, mlne_msg_info *info);
