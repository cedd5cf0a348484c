-- Tables of a learning database that are not sharded by argument.
CREATE TABLE IF NOT EXISTS url_args_info (
  arg_id       INT NOT NULL PRIMARY KEY,
  prob_mean_ex DOUBLE NOT NULL DEFAULT 0,
  variance_ex  DOUBLE NOT NULL DEFAULT 0
) ENGINE=InnoDB;
