// The domain record domain_info:<domain_id>, written by the management plane
// and read by the daemon: the vdom and policy that govern the domain's
// arguments, the domain's name (for notices) and its learning database.
// Every unit reads it through here, with one command.
#pragma once

#include <cstdint>

#include "services/redis.h"
#include "tasks/math_task.h"

// One read of the record. The texts stay in the reply, which the record owns;
// a missing field reads as "" and has() tells it apart from an empty value.
struct domain_info {
  enum field : uint32_t { VDOM = 0, POLICY = 1, DOMAIN = 2, DBNAME = 3 };
  reply_ptr reply;
  bool has(field f) const { return !reply_elem_missing(reply.get(), f); }
  const char *get(field f) const { return reply_elem_str(reply.get(), f); }
};

// Reads the record of domain_id into out. 0 when Redis answered (fields may
// still be missing), -1 when it did not (out holds no reply).
int ml_domain_info_read(redis_conn *redis, uint32_t domain_id, domain_info *out);

// The domain's learning database name into dbname. 0, or -1 when the record
// cannot be read, has no mysql_dbname, or names a database that is not
// [A-Za-z0-9_]{1,64} (then after an error line naming the domain); dbname
// then holds "".
int ml_domain_dbname(redis_conn *redis, uint32_t domain_id, char (&dbname)[ML_DBNAME_LEN + 1]);

// The same from a record already read: 0, or -1 (no mysql_dbname, or a
// name refused after its line).
int ml_domain_dbname_of(const domain_info &d, uint32_t domain_id,
                        char (&dbname)[ML_DBNAME_LEN + 1]);

// True when name can be a learning database: 1 to 64 of [A-Za-z0-9_], the
// names the provisioning makes. Only such a name is ever put into SQL.
bool ml_dbname_valid(const char *name);
// ml_dbname_valid, with the error line naming the domain when it is not.
bool ml_domain_dbname_usable(uint32_t domain_id, const char *name);
