// Model persistence: boxplots, model texts and means (Redis), the model's
// statistics, per-pattern probabilities and noise flags (MariaDB, one
// transaction), manual-sample probabilities (Redis) and the final state.
#pragma once

#include <cstdint>

#include "platform/mathmodel/mathmodel.h"
#include "tasks/math_task.h"

struct redis_conn;
struct ml_db_obj;

// The whole store, in order; every failure rolls the transaction back and
// returns -1 after its error line. Redis writes made before a failure stay.
int mm_write_to_db(ml_db_obj *db, redis_conn *redis, const char *mysql_dbname, uint32_t domain_id,
                   uint32_t arg_id, ml_sample_list *list, ml_hmm_model *model,
                   const math_task *task);

// Appends one boxplot text to arg:boxplot:<domain_id>:<arg_id>. 0 or -1.
int mm_write_to_db_boxplot(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                           const ml_boxplot *box);
// Deletes the argument's temporary samples. 0 (also with no table), -1.
int mm_delete_sample_tmp(ml_db_obj *db, const char *mysql_dbname, uint32_t arg_id);
// Replaces the argument's url_args_info row. 0 or -1 (after its error line).
int mm_write_model_to_mysqldb(ml_db_obj *db, const char *mysql_dbname, uint32_t arg_id,
                              const ml_hmm_model *model);
// Per item: a table item's probability, average and noise flag into the sample
// table; a manual item's probability into its manual sample value. 0, or -1
// at the first failure (later items are not written).
int mm_write_to_db_prob(redis_conn *redis, uint32_t domain_id, ml_db_obj *db,
                        const char *mysql_dbname, uint32_t arg_id, const ml_sample_list *list);
// The model texts, means and statistics into the argument hash. 0, or -1 (a
// text that does not fit its capacity, no memory, no reply).
int mm_write_to_db_hmm(redis_conn *redis, uint32_t domain_id, uint32_t arg_id,
                       const ml_hmm_model *model);
// Writes the state, and the event too when it is not 0. 0 or -1.
int mm_write_to_db_arg_status(redis_conn *redis, uint32_t domain_id, uint32_t arg_id, int32_t state,
                              int32_t event);

// The model texts, exposed for tests: "{"column":C,"data":[...]}" with every
// entry "%lf". -1 when the text does not fit cap bytes.
int mm_model_text_pi(const ml_hmm_model *model, char *out, size_t cap);
int mm_model_text_a(const ml_hmm_model *model, char *out, size_t cap);
int mm_model_text_b(const ml_hmm_model *model, char *out, size_t cap);
