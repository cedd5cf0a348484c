// Sample and pattern storage in a domain's learning database. Each sample is
// stored twice: in the argument's sample table (one row per distinct pattern,
// with a count; at most SAMPLE_PATTERN_CAP patterns per argument) and in its
// temporary sample table (recent raw samples in arrival order, trimmed back to
// SAMPLE_TMP_KEEP rows once SAMPLE_TMP_TRIM_AT are reached). The caller wraps
// insert_sample and insert_sample_temp in one transaction.
#pragma once

#include <cstdint>

#include "intake/sample_msg.h"
#include "platform/mldb/mldb.h"

struct ml_db_obj;

constexpr int SAMPLE_PATTERN_CAP = 2000;
constexpr int SAMPLE_TMP_TRIM_AT = 2500;
constexpr int SAMPLE_TMP_KEEP = 2000;

// One sample ready for storage: the escaped value and its pattern.
// What a repeated pattern does to its distinct-value sketch: the OR of the
// bits, so the same value stored twice counts once.
inline constexpr const char *SAMPLE_VALUE_BITS_UPDATE = "value_bits=value_bits|VALUES(value_bits)";

struct stored_sample {
  int32_t arg_id;
  char sample_str[1025];  // escaped value, at most 1024 bytes, terminated
  char pattern[256];      // at most 255 characters, terminated
  uint64_t value_bit;     // ml_hmm_value_bit of the value as stored
};

// The argument's table names as get_sample_table_names gives them.
struct sample_table_names {
  char name0[ML_TABLE_NAME_LEN];  // sample table
  char name1[ML_TABLE_NAME_LEN];  // temporary sample table
  char name2[96];                 // read by nobody
  int32_t count;                  // set by nobody
};

// The value's pattern: one character '0' + k per symbol k of the
// generalisation. 0, or -1 (no sample or buffer, capacity below 1, the
// generalisation failed or its pattern does not fit in cap - 1 characters).
int get_hmm_gen_str(const sample_msg *msg, char *out, int cap);

// The value escaped for SQL and its pattern, ready for storage. 0, or -1
// after its line. The database connection must be open (escaping uses its
// character set).
int prepare_sample(const sample_msg *msg, ml_db_obj *db, const char *pattern, stored_sample *s);

// Row counts; -1 when a name is missing or the query fails.
int get_sample_pattern_count(int arg_id, ml_db_obj *db, const char *dbname, const char *table);
int check_pattern_exist(int arg_id, ml_db_obj *db, const char *dbname, const char *table,
                        const char *pattern);
int get_boxplot_sample_count(int arg_id, ml_db_obj *db, const char *dbname, const char *tmp_table);
int get_sample_count(int arg_id, ml_db_obj *db, const char *dbname, const char *table);

// Stores the pattern: a new row, or one more on its count. 0 stored; 1 not
// stored because the argument already has SAMPLE_PATTERN_CAP patterns and this
// one is new; -1 failure.
int insert_sample(ml_db_obj *db, const stored_sample *s, const char *dbname,
                  const sample_table_names *names);
// Stores the raw sample and trims the oldest rows. 0, or -1 when the insert failed.
int insert_sample_temp(ml_db_obj *db, const stored_sample *s, const char *dbname,
                       const sample_table_names *names);
