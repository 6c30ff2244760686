-- Geomuxer position server database, schema version 2: the newest position of each client.
-- One statement per line; each may run again after a failed upgrade.
-- A client's current track is the track of its newest position. Storing a position updates this
-- row in the same transaction, so the feeds find it without scanning the client's positions.
CREATE TABLE IF NOT EXISTS lastpositions (user INTEGER PRIMARY KEY, position INTEGER NOT NULL, datetime TEXT NOT NULL, trackid TEXT NOT NULL DEFAULT '')
CREATE INDEX IF NOT EXISTS lastpositions_trackid ON lastpositions (trackid)
-- Filled from the positions a version 1 file holds; on equal times the later row wins.
INSERT OR REPLACE INTO lastpositions (user, position, datetime, trackid) SELECT user, id, datetime, trackid FROM (SELECT user, id, datetime, trackid, MAX(datetime || printf('%020d', id)) FROM positions GROUP BY user)
INSERT OR REPLACE INTO variables (name, value) VALUES ('version', '2')
