-- Schema version 2: the newest position of each client, as in the SQLite file's version 2.
-- Storing a position updates this row in the same statement; the row lock orders two servers
-- storing for one client at once, so a client never has two current tracks.
CREATE TABLE IF NOT EXISTS lastpositions (
  "user" bigint PRIMARY KEY,
  position bigint NOT NULL,
  datetime timestamp(0) NOT NULL,
  trackid text NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS lastpositions_trackid ON lastpositions (trackid);
INSERT INTO lastpositions ("user", position, datetime, trackid)
  SELECT DISTINCT ON ("user") "user", id, datetime, trackid FROM positions ORDER BY "user", datetime DESC, id DESC
  ON CONFLICT ("user") DO NOTHING;
UPDATE variables SET value = '2' WHERE name = 'version';
