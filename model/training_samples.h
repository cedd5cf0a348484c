// Training sample retrieval for the math model threads: an argument's
// noise-free stored patterns and its manual samples (training), and its
// newest temporary samples (boxplots).
#pragma once

#include <cstdint>

#include "platform/mathmodel/mathmodel.h"

struct redis_conn;
struct ml_db_obj;

// Fewest and most temporary samples a boxplot reading takes.
constexpr int TMP_SAMPLES_MIN = 500;
constexpr int TMP_SAMPLES_MAX = 2000;

// Builds the training list: every row of the sample table with noise_flag 0
// (pattern buffers allocated zeroed for the trainer), then every decodable
// manual sample of arg:manuals:<domain_id>:<arg_id>. 0 (any number of items,
// also none); -1 on a missing argument, an empty table name, a failed query
// or no noise-free row. On failure the items already counted stay in the
// list for the caller to release.
int mm_get_sample(redis_conn *redis, uint32_t domain_id, ml_db_obj *db, const char *mysql_dbname,
                  uint32_t arg_id, ml_sample_list *list);

// Reads the newest (at most 2000) temporary samples, newest first. 0 with at
// least 500 items; 1 when the table holds no row of the argument (empty
// list); -1 otherwise, with the items released and items null.
int mm_get_tmp_sample(ml_db_obj *db, const char *mysql_dbname, uint32_t arg_id,
                      ml_sample_list *list);
