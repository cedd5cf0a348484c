#include "arg/domain_info.h"

#include <cstdio>
#include <cstring>

#include "log/ml_message.h"

int ml_domain_info_read(redis_conn *redis, uint32_t domain_id, domain_info *out) {
  char cmd[ML_CMD_LEN];
  out->reply = redis_cmdf(redis, cmd, sizeof cmd,
                          "HMGET domain_info:%d adomname policy_name domain mysql_dbname",
                          static_cast<int>(domain_id));
  return out->reply ? 0 : -1;
}

bool ml_dbname_valid(const char *name) {
  if (!name) return false;
  const size_t n = strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_");
  return n >= 1 && n <= ML_DBNAME_LEN && name[n] == '\0';
}

bool ml_domain_dbname_usable(uint32_t domain_id, const char *name) {
  if (ml_dbname_valid(name)) return true;
  MLD_ERR(MLD_UNIT_PROCESS,
          "domain %u: learning database name refused (1 to 64 of A-Z a-z 0-9 _)\n", domain_id);
  return false;
}

int ml_domain_dbname(redis_conn *redis, uint32_t domain_id, char (&dbname)[ML_DBNAME_LEN + 1]) {
  dbname[0] = '\0';
  domain_info d;
  if (ml_domain_info_read(redis, domain_id, &d) != 0) return -1;
  return ml_domain_dbname_of(d, domain_id, dbname);
}

int ml_domain_dbname_of(const domain_info &d, uint32_t domain_id,
                        char (&dbname)[ML_DBNAME_LEN + 1]) {
  dbname[0] = '\0';
  if (!d.has(domain_info::DBNAME)) return -1;
  if (!ml_domain_dbname_usable(domain_id, d.get(domain_info::DBNAME))) return -1;
  snprintf(dbname, sizeof dbname, "%s", d.get(domain_info::DBNAME));
  return 0;
}
