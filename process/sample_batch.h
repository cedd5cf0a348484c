// Samples processed in batches: what a processing thread takes from its
// bucket in one turn (up to SAMPLE_BATCH_MAX, never waiting for more than is
// there) is stored in one transaction with multi-row statements, and the
// Redis counters of the batch are updated in one pipelined round trip.
//
// Each sample keeps the meaning it has alone: the decisions (the state
// check, the length limits, the pattern cap, the trim of the temporary
// table, abnormal counting, readiness) are taken per sample, in arrival
// order, on the numbers read at the start of the batch and carried forward
// sample by sample; an argument that becomes ready in mid-batch takes no
// later sample of the batch, as it takes none once its state has changed.
// Lines are printed in the same order and words as one sample at a time.
#pragma once

#include <cstdint>

#include "intake/sample_bucket.h"
#include "process/ml_sample_process.h"

// The most samples one turn takes: enough to spread a round trip and a
// commit over a hundred samples, few enough that a batch's statements stay
// well under the server's packet limit (128 values of at most 1 KiB each).
constexpr uint32_t SAMPLE_BATCH_MAX = 128;

// Processes nodes[0..n) (n <= SAMPLE_BATCH_MAX) of one bucket, oldest first.
// 0 done (each sample stored, counted or dropped after its line); -1 when
// nothing was done because Redis or the database failed before anything
// was written: the caller then processes the samples one at a time.
int process_sample_batch(sample_node *const *nodes, uint32_t n, const process_env *env);
