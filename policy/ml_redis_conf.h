// Policy loading at start, and the reload of one policy that configuration
// change events (policy/ml_conf_event.h) ask for.
//
// Everything here runs on the main thread: the load before the worker threads
// start (over the shared connection redis_conn), the reloads between two
// subscription messages (over the handler's own connection).
#pragma once

struct redis_conn;
struct redis_reply;
struct ml_plist;

// Loads every learning policy from Redis into the policy table and dumps the
// table. 0 always: the daemon starts with whatever could be read.
int ml_init_redis_config(redis_conn *redis, ml_plist *list);

// Walks every policy:* key with SCAN and loads each; a failing key is
// reported and skipped. A lost connection ends the walk with what was read.
void _load_ml_policy_all(redis_conn *redis, ml_plist *list);
// Parses "policy<...>:<vdom>:<name>[:...]" and loads that policy. 0, or -1
// (key not of a policy, a part missing or too long, or the load failed).
int _load_redis_config(redis_conn *redis, ml_plist *list, const char *key);
// Reads policy:<vdom>:<name> and adds it to the table unless present.
// 0 (also when already present), or -1 (null argument, no reply, a field
// missing, or allocation failure).
int _get_redis_config_policy(redis_conn *redis, ml_plist *list, const char *vdom,
                             const char *policy_name);
// Re-reads one policy after a change event: action 1 adds or replaces it,
// action 2 removes it. Nothing changes when its hash lacks a field. 0.
int _redis_ml_policy_reload(redis_conn *redis, ml_plist *list, const char *vdom,
                            const char *policy_name, int action);
// Tells the caller that start-up loading is done. 1 always.
int ml_init_is_finish();
