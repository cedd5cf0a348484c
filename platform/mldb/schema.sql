-- One domain's learning database. scripts/mldb-provision runs this once per
-- shard, with @SHARD@ replaced by the two-digit shard number; every statement
-- is idempotent.
--
-- Sample table: one row per (argument, pattern). The unique key makes a
-- repeated pattern an ON DUPLICATE KEY count instead of a new row. Values and
-- patterns are binary so that every byte is stored and compared exactly.
CREATE TABLE IF NOT EXISTS ml_sample_@SHARD@ (
  id                  BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  arg_id              INT NOT NULL,
  sample_str          VARBINARY(1100) NOT NULL,
  pattern             VARBINARY(256) NOT NULL,
  pattern_count       INT NOT NULL DEFAULT 1,
  pattern_probability DOUBLE NOT NULL DEFAULT 0,
  average_probability DOUBLE NOT NULL DEFAULT 0,
  noise_flag          TINYINT NOT NULL DEFAULT 0,
  value_bits          BIGINT UNSIGNED NOT NULL DEFAULT 0,
  UNIQUE KEY arg_pattern (arg_id, pattern)
) ENGINE=InnoDB;
-- A shard made before the distinct-value sketch gains it; its old rows keep
-- 0, which readers take as "not known" and count by samples.
ALTER TABLE ml_sample_@SHARD@ ADD COLUMN IF NOT EXISTS
  value_bits BIGINT UNSIGNED NOT NULL DEFAULT 0 AFTER noise_flag;

-- Temporary sample table: the recent raw samples in arrival order. The
-- (arg_id, id) index serves the per-argument count, the newest-first read
-- and the trimming delete of the oldest rows.
CREATE TABLE IF NOT EXISTS ml_sample_tmp_@SHARD@ (
  id         BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  arg_id     INT NOT NULL,
  sample_str VARBINARY(1100) NOT NULL,
  pattern    VARBINARY(256) NOT NULL,
  KEY arg_id_id (arg_id, id)
) ENGINE=InnoDB;
