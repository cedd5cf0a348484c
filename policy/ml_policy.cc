// Policy table operations; the locking design is in ml_policy.h.
#include "policy/ml_policy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arg/domain_info.h"
#include "log/ml_debug.h"
#include "log/ml_message.h"

namespace {

constexpr size_t kPrintBuf = 4096;

ml_policy *head_of(ml_plist *list) { return reinterpret_cast<ml_policy *>(list); }

// Compares the identity of a linked policy under its policy_lock, copying
// the settings out on a match. The caller holds table_lock.
bool match_and_copy(ml_policy *p, const char *vdom, const char *name, ml_policy_conf *out) {
  pthread_rwlock_rdlock(&p->policy_lock);
  bool hit = strcmp(p->conf.vdom, vdom) == 0 && strcmp(p->conf.policy_name, name) == 0;
  if (hit && out) *out = p->conf;
  pthread_rwlock_unlock(&p->policy_lock);
  return hit;
}

// The first policy with that vdom and name, or null. The caller holds table_lock.
ml_policy *find_locked(ml_plist *list, const char *vdom, const char *name) {
  for (ml_policy *p = list->next; p != head_of(list); p = p->next)
    if (match_and_copy(p, vdom, name, nullptr)) return p;
  return nullptr;
}

// A new unlinked policy holding a copy of conf, or null when allocation fails.
ml_policy *new_ml_policy(const ml_policy_conf *conf) {
  auto *p = static_cast<ml_policy *>(calloc(1, sizeof(ml_policy)));
  if (!p) return nullptr;
  pthread_rwlock_init(&p->policy_lock, nullptr);
  _set_ml_policy(p, conf);
  p->prev = p;
  p->next = p;
  return p;
}

void append_ml_policy(ml_plist *list, ml_policy *p) {
  pthread_rwlock_wrlock(&list->table_lock);
  p->prev = list->prev;
  p->next = head_of(list);
  list->prev->next = p;
  list->prev = p;
  pthread_rwlock_unlock(&list->table_lock);
}

}  // namespace

int init_ml_plist(ml_plist *list) {
  list->prev = head_of(list);
  list->next = head_of(list);
  return pthread_rwlock_init(&list->table_lock, nullptr);
}

void free_ml_plist(ml_plist *list) {
  if (!list || !list->next) return;
  for (ml_policy *p = list->next, *next; p != head_of(list); p = next) {
    next = p->next;
    _free_ml_policy(p);
  }
  list->prev = head_of(list);
  list->next = head_of(list);
  pthread_rwlock_destroy(&list->table_lock);
}

int _add_ml_policy(ml_plist *list, const ml_policy_conf *conf) {
  if (!list || !conf) return -1;
  pthread_rwlock_rdlock(&list->table_lock);
  ml_policy *found = find_locked(list, conf->vdom, conf->policy_name);
  if (found) {
    ML_DEBUG("config id duple");
    pthread_rwlock_unlock(&list->table_lock);
    return 0;
  }
  pthread_rwlock_unlock(&list->table_lock);
  ml_policy *p = new_ml_policy(conf);
  if (!p) {
    MLD_ERR(MLD_UNIT_CONF, "malloc failed for policy config\n");
    return -1;
  }
  append_ml_policy(list, p);
  return 0;
}

int _add_or_edit_ml_policy(ml_plist *list, const ml_policy_conf *conf) {
  if (!list || !conf) return -1;
  pthread_rwlock_rdlock(&list->table_lock);
  ml_policy *found = find_locked(list, conf->vdom, conf->policy_name);
  if (found) {
    pthread_rwlock_wrlock(&found->policy_lock);
    _set_ml_policy(found, conf);
    pthread_rwlock_unlock(&found->policy_lock);
    pthread_rwlock_unlock(&list->table_lock);
    return 0;
  }
  pthread_rwlock_unlock(&list->table_lock);
  ml_policy *p = new_ml_policy(conf);
  if (!p) {
    ML_DEBUG("malloc failed");
    return -1;
  }
  append_ml_policy(list, p);
  return 0;
}

int _set_ml_policy(ml_policy *policy, const ml_policy_conf *conf) {
  if (!policy || !conf) return 0;
  policy->conf = *conf;
  return 0;
}

int _del_ml_policy(ml_plist *list, const ml_policy_conf *conf) {
  if (!list || !conf) return 0;
  pthread_rwlock_wrlock(&list->table_lock);
  ml_policy *p = find_locked(list, conf->vdom, conf->policy_name);
  if (p) {
    p->prev->next = p->next;
    p->next->prev = p->prev;
    p->prev = p;
    p->next = p;
    _free_ml_policy(p);
  }
  pthread_rwlock_unlock(&list->table_lock);
  return 0;
}

void _print_ml_policy(ml_policy *policy) {
  if (!policy) return;
  char text[kPrintBuf];
  pthread_rwlock_rdlock(&policy->policy_lock);
  const ml_policy_conf &c = policy->conf;
  int n = snprintf(text, sizeof text,
                   "\nVdom[%s] Policy[%s] #\n\t hmm_engine:%d\n\t sample_collecting_mode:%d\n\t "
                   "model_min_learn_time:%d\n\t sl_automatic_definitely:%d\n",
                   c.vdom, c.policy_name, c.hmm_engine, c.sample_collecting_mode,
                   c.model_min_learn_time, c.sl_automatic_definitely);
  pthread_rwlock_unlock(&policy->policy_lock);
  size_t used =
      n < 0 ? 0 : (static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
  snprintf(text + used, sizeof text - used, "\n====================end=================\n");
  ML_DEBUG("%s", text);
}

int _print_ml_policy_all(ml_plist *list) {
  if (!list) return 0;
  pthread_rwlock_rdlock(&list->table_lock);
  for (ml_policy *p = list->next; p != head_of(list); p = p->next) _print_ml_policy(p);
  pthread_rwlock_unlock(&list->table_lock);
  return 0;
}

void _free_ml_policy(ml_policy *policy) {
  if (!policy) return;
  pthread_rwlock_destroy(&policy->policy_lock);
  free(policy);
}

int ml_policy_lookup(ml_plist *list, const char *vdom, const char *policy_name,
                     ml_policy_conf *out) {
  if (!list || !vdom || !policy_name) return -1;
  pthread_rwlock_rdlock(&list->table_lock);
  bool found = false;
  for (ml_policy *p = list->next; p != head_of(list) && !found; p = p->next)
    found = match_and_copy(p, vdom, policy_name, out);
  pthread_rwlock_unlock(&list->table_lock);
  return found ? 1 : 0;
}

int ml_policy_count(ml_plist *list) {
  if (!list) return 0;
  int n = 0;
  pthread_rwlock_rdlock(&list->table_lock);
  for (ml_policy *p = list->next; p != head_of(list); p = p->next) n++;
  pthread_rwlock_unlock(&list->table_lock);
  return n;
}

int ml_domain_policy(redis_conn *redis, ml_plist *list, uint32_t domain_id, ml_policy_conf *out) {
  if (!redis || !list) return -1;
  domain_info dom;
  if (ml_domain_info_read(redis, domain_id, &dom) != 0) return -1;
  return ml_domain_policy_of(dom, list, out);
}

int ml_domain_policy_of(const domain_info &dom, ml_plist *list, ml_policy_conf *out) {
  if (!list || !dom.has(domain_info::VDOM) || !dom.has(domain_info::POLICY)) return -1;
  return ml_policy_lookup(list, dom.get(domain_info::VDOM), dom.get(domain_info::POLICY), out);
}
