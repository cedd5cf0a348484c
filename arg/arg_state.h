// Argument learning state: the fields of an argument's Redis hash
// arg:<domain_id>:<arg_id> that the daemon writes (state, event, counters) and
// the small operations on them, for the processing threads, the math threads
// and the configuration events alike. Each operation is one Redis command on
// the caller's own connection; none takes a lock (each command is atomic on
// the server, and a check followed by a set is not: callers live with that).
#pragma once

#include <cstdint>
#include <string>

#include "services/redis.h"

struct redis_conn;

// An argument: the first three words of a sample message, in this order.
struct ml_arg_id {
  uint32_t domain_id;
  uint32_t url_id;
  uint32_t arg_id;
};

// Learning states (arg_learn_stat) and events (events).
enum : int32_t {
  ARG_STAT_COLLECTING = 1,
  ARG_STAT_BUILDING = 2,
  ARG_STAT_LEARNED = 3,
  ARG_STAT_MANUAL_LEARNED = 4,
  ARG_STAT_DISCARDED = 5,
};
enum : int32_t { ARG_EVENT_NONE = 0, ARG_EVENT_DISCARD = 2 };

// The key of the argument's hash, "arg:<domain>:<arg>" (ids as signed
// decimals, as every writer formats them).
std::string arg_hash_key(uint32_t domain_id, uint32_t arg_id);

// Writes state and event. 0 when Redis answered, -1 (no id, no connection, no reply).
int set_arg_stat(const ml_arg_id *id, redis_conn *redis, int32_t state, int32_t event);
// 0 when the hash holds exactly (state, event); -1 otherwise, also for a
// missing hash or field (with a debug line naming what differs).
int check_arg_stat(const ml_arg_id *id, redis_conn *redis, int32_t state, int32_t event);
// 1 when abnormal samples are more than five per thousand of all counted ones,
// 0 when not (also with both counters 0), -1 when the counters cannot be read.
int check_arg_discard(const ml_arg_id *id, redis_conn *redis);
// Adds 1 to normalcount (abnormal 0) or abnormalcount. 0, or -1 (no reply).
int ml_redis_update_sample_count(const ml_arg_id *id, redis_conn *redis, int abnormal);

// The shared steps behind the calls above and their model-building twins.
// Reads state and event and compares them; show_cmd adds the command text to
// the state mismatch line, which names the calling operation op. 0 on a
// match, -1 otherwise (also for a missing hash or field, or no connection).
int arg_state_check(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state,
                    int32_t event, bool show_cmd, const char *op);
// Writes the state, and the event too unless keep_event is set (then events
// keeps its value). 0 when Redis answered, -1 otherwise.
int arg_state_write(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state,
                    int32_t event, bool keep_event);

// ---- Daemons sharing one Redis ---------------------------------------------
// Every daemon sees every argument reach its sample count and every manual
// request, so the step to building is taken in one script on the server and
// the daemon that took it is recorded as the argument's builder in the hash
// ARG_BUILDING_KEY ("<domain>:<arg>" -> ml_daemon_id). A running daemon keeps
// DAEMON_ALIVE_PREFIX<id> alive; a builder whose key has expired is gone, and
// the next daemon to start takes its arguments over.
constexpr const char *ARG_BUILDING_KEY = "ml_building";
constexpr const char *DAEMON_ALIVE_PREFIX = "ml_daemon_alive:";
constexpr int DAEMON_ALIVE_SECONDS = 30;

// Moves a collecting argument (no event) to state and event in one step; to
// building also records this daemon as the builder. 1 moved; 0 the argument
// was not collecting with no event (another daemon moved it first); -1 no
// answer.
int arg_state_advance(redis_conn *redis, const ml_arg_id *id, int32_t state, int32_t event);

enum class arg_claim { manual, startup };
// Takes an argument for building by this daemon. manual: from any state,
// unless another live daemon is building it (each daemon hears the request).
// startup: an argument already building with no event, whose builder is this
// daemon, none, or gone. 1 taken (state building, no event, this daemon its
// builder), 0 not, -1 no answer.
int arg_claim_building(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, arg_claim how);

// 1 when another daemon is recorded as the argument's builder (this one must
// not build it), 0 when this daemon or none is, -1 no answer.
int arg_built_elsewhere(redis_conn *redis, uint32_t domain_id, uint32_t arg_id);

// Drops this daemon's builder record of an argument that left building.
// 0, or -1 no answer.
int arg_building_done(redis_conn *redis, uint32_t domain_id, uint32_t arg_id);

// Takes over the building arguments whose builder is gone: each becomes
// this daemon's (records whose argument left building are dropped). Returns
// the taken arguments' "<domain>:<arg>" names in the reply (an array), or
// null when Redis did not answer.
reply_ptr arg_adopt_orphans(redis_conn *redis);

// Marks this daemon alive for DAEMON_ALIVE_SECONDS. 0, or -1 no answer.
int daemon_alive_refresh(redis_conn *redis);
