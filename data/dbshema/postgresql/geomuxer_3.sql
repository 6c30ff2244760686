-- Schema version 3: the milliseconds of each position's time, as in the SQLite file's version 3.
-- datetime keeps its whole seconds, so whatever reads the earlier versions' rows reads these the
-- same way; msec holds the milliseconds after it, 0 for the rows stored before.
ALTER TABLE positions ADD COLUMN IF NOT EXISTS msec integer NOT NULL DEFAULT 0;
ALTER TABLE lastpositions ADD COLUMN IF NOT EXISTS msec integer NOT NULL DEFAULT 0;
-- The feeds order by the time to the millisecond; these replace the indexes on datetime alone.
CREATE INDEX IF NOT EXISTS positions_user_time ON positions ("user", datetime, msec, id);
CREATE INDEX IF NOT EXISTS positions_trackid_time ON positions (trackid, datetime, msec, id);
DROP INDEX IF EXISTS positions_user_datetime;
DROP INDEX IF EXISTS positions_trackid_datetime;
UPDATE variables SET value = '3' WHERE name = 'version';
