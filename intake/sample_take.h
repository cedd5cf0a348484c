// Taking samples from the shared list so that none is lost with a reply.
//
// A plain pop removes the message before its reply reaches us: when Redis
// shuts down or the socket breaks in that moment, the message is gone and no
// line says so. Here a batch is moved, in one script, from arg:mlnsample to a
// list of this daemon's own ("taken") and marked with a token; the batch
// stays there until the next take names that token as received. A take whose
// reply was lost is therefore answered again with the same batch, and every
// message is handed over exactly once while the daemon runs.
//
// Waiting for an empty list uses BLMOVE into the taken list, so a message
// that arrives during the wait is never in flight either: the next take hands
// it out with the rest.
//
// The keys carry the list's name as a hash tag and the daemon's id
// (ml_daemon_id), so daemons sharing one Redis never take each other's
// batches, and a Redis Cluster keeps them in the list's slot.
#pragma once

#include <cstdint>
#include <string>

#include "services/redis.h"

struct sample_taker {
  std::string taken_key;  // the batch handed out last (or moved by a wait)
  std::string token_key;  // its token, absent when nothing is held
  std::string received;   // token of the last batch received; "" none yet
  std::string nonce;      // makes this process's tokens unique
  uint64_t seq = 0;
};

// Names the keys of daemon id and starts a token sequence.
void sample_take_init(sample_taker *t, const std::string &id);

// Hands out up to n messages (n >= 1): a reply {token, messages} whose
// second element is the array of messages, oldest first, possibly empty;
// null when Redis did not answer (nothing is lost: the same batch comes
// again). The batch counts as received once this returns it; the next call
// releases it in Redis. Call sample_take_recover once before the first take.
reply_ptr sample_take(redis_conn *conn, sample_taker *t, uint32_t n);

// Waits up to seconds (decimal text) for a message to arrive and moves it
// into the taken list; the next sample_take hands it out. 1 moved, 0 none
// came, -1 no answer.
int sample_take_wait(redis_conn *conn, sample_taker *t, const char *seconds);

// At start-up: a batch that a previous run of this daemon was handed but
// never released (it stopped without its last step, or crashed) may have
// been queued, so it is dropped rather than counted twice. Returns how many
// messages were dropped (0 when none), -1 when Redis did not answer.
int sample_take_recover(redis_conn *conn, sample_taker *t);

// At stop: releases the last batch received. 0, or -1 when Redis did not
// answer (the next start drops that batch, see sample_take_recover).
int sample_take_release(redis_conn *conn, sample_taker *t);
