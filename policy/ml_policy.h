// Learning policy table: one ml_policy per learning policy, in a circular
// doubly linked list through the ml_plist head, in insertion order. Only the
// main thread changes the table (the load at start and configuration events);
// the receive thread and the processing threads look policies up.
//
// Locking: table_lock guards the links of every policy (a reader holds it for
// reading for its whole walk, a delete holds it for writing, so no walk ever
// meets a freed policy). policy_lock guards one policy's settings block:
// an edit rewrites the block under policy_lock for writing (with table_lock
// held for reading), and every reader takes policy_lock for reading while it
// compares the names and copies the settings out. A lookup therefore sees
// either the whole old block or the whole new one, never a mix. Lock order:
// table_lock, then policy_lock; never the other way.
//
// Because the search for an absent policy and its insertion are two locked
// steps, not one, the table relies on having a single writer.
#pragma once

#include <pthread.h>

#include <cstdint>

// The settings of one policy, always copied as a whole. Guarded by the
// owning policy's policy_lock once the policy is in the table.
struct ml_policy_conf {
  char vdom[12];         // NUL-terminated, at most 11 characters
  char policy_name[64];  // NUL-terminated, at most 63 characters
  int32_t hmm_engine;
  int32_t sample_collecting_mode;  // 0 count-and-time, 1 count-only, other never
  int32_t model_min_learn_time;    // weeks
  int32_t sl_automatic_definitely;
};

// One policy. Allocated zero-filled with calloc and owned by the table; freed
// with _free_ml_policy by whoever takes it out of the list.
struct ml_policy {
  ml_policy *prev;  // links: guarded by the table's table_lock
  ml_policy *next;
  ml_policy_conf conf;           // guarded by policy_lock
  pthread_rwlock_t policy_lock;  // this policy's settings only
};

// Head (sentinel) of the table; prev/next point at the head itself when empty.
struct ml_plist {
  ml_policy *prev;
  ml_policy *next;
  pthread_rwlock_t table_lock;  // the list links and membership
};

// Makes the table empty and initialises table_lock; returns the lock
// initialisation's result.
int init_ml_plist(ml_plist *list);
// Frees every policy and destroys table_lock; the table may be initialised
// again. No thread may use it meanwhile. Null, or a table never initialised, is ignored.
void free_ml_plist(ml_plist *list);

// Adds a policy with the block's settings unless one with the same vdom and
// name exists (then the existing one is kept, "config id duple"). 0 when added
// or present; -1 when allocation fails (table unchanged).
int _add_ml_policy(ml_plist *list, const ml_policy_conf *conf);
// Replaces the whole settings block of the matching policy, or appends a new
// policy. 0; -1 when the allocation for a new policy fails (table unchanged).
int _add_or_edit_ml_policy(ml_plist *list, const ml_policy_conf *conf);
// Copies the whole block into policy. The caller holds its policy_lock for
// writing, or owns the policy before it is linked. 0.
int _set_ml_policy(ml_policy *policy, const ml_policy_conf *conf);
// Unlinks and frees the policy matching the block's vdom and name. 0, found or not.
int _del_ml_policy(ml_plist *list, const ml_policy_conf *conf);
// Formats one policy and prints it as a debug line while enable_debug_print.
void _print_ml_policy(ml_policy *policy);
// Dumps every policy of the table in list order. 0.
int _print_ml_policy_all(ml_plist *list);
// Frees a policy record; null is ignored. The policy must not be linked.
void _free_ml_policy(ml_policy *policy);

// Finds the first policy whose vdom and name equal the given texts exactly and
// copies its settings into out (when out is non-null). 1 found, 0 not found,
// -1 for a null list or name. Takes table_lock, then policy_lock, for reading.
int ml_policy_lookup(ml_plist *list, const char *vdom, const char *policy_name,
                     ml_policy_conf *out);
// Number of policies in the table (a walk under table_lock for reading).
int ml_policy_count(ml_plist *list);

struct redis_conn;
// The policy that governs a domain: the vdom and policy name of its record
// domain_info:<domain_id> looked up in the table. 1 found (settings copied
// into out when non-null), 0 no such policy in the table, -1 no list or
// connection, no reply, or a record without adomname or policy_name.
int ml_domain_policy(redis_conn *redis, ml_plist *list, uint32_t domain_id, ml_policy_conf *out);
// The same from a domain record already read (1, 0, or -1 for a record
// without adomname or policy_name).
struct domain_info;
int ml_domain_policy_of(const domain_info &dom, ml_plist *list, ml_policy_conf *out);
