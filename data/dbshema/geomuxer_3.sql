-- Geomuxer position server database, schema version 3: the milliseconds of each position's time.
-- One statement per line; each may run again after a failed upgrade (adding a column the table
-- has already is skipped).
-- datetime keeps its whole seconds, so whatever reads the earlier versions' rows reads these the
-- same way; msec holds the milliseconds after it, 0 for the rows stored before.
ALTER TABLE positions ADD COLUMN msec INTEGER NOT NULL DEFAULT 0
ALTER TABLE lastpositions ADD COLUMN msec INTEGER NOT NULL DEFAULT 0
-- The feeds order by the time to the millisecond; these replace the indexes on datetime alone.
CREATE INDEX IF NOT EXISTS positions_user_time ON positions (user, datetime, msec)
CREATE INDEX IF NOT EXISTS positions_trackid_time ON positions (trackid, datetime, msec)
DROP INDEX IF EXISTS positions_user_datetime
DROP INDEX IF EXISTS positions_trackid_datetime
INSERT OR REPLACE INTO variables (name, value) VALUES ('version', '3')
