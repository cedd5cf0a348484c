#include "arg/domain_info.h"

#include <cstdio>

int ml_domain_info_read(redis_conn *redis, uint32_t domain_id, domain_info *out) {
  char cmd[ML_CMD_LEN];
  out->reply = redis_cmdf(redis, cmd, sizeof cmd,
                          "HMGET domain_info:%d adomname policy_name domain mysql_dbname",
                          static_cast<int>(domain_id));
  return out->reply ? 0 : -1;
}

int ml_domain_dbname(redis_conn *redis, uint32_t domain_id, char (&dbname)[ML_DBNAME_LEN + 1]) {
  dbname[0] = '\0';
  domain_info d;
  if (ml_domain_info_read(redis, domain_id, &d) != 0 || !d.has(domain_info::DBNAME)) return -1;
  snprintf(dbname, sizeof dbname, "%s", d.get(domain_info::DBNAME));
  return 0;
}
