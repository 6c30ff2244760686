-- Geomuxer position server database, schema version 1.
-- One statement per line. Every statement may run again after a failed upgrade, so each one
-- is written to succeed on a database where it already took effect.
-- Column order matters: rows are read by position. Ids are never reused, so a new client
-- cannot inherit the positions of a deleted one.
CREATE TABLE IF NOT EXISTS users (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL UNIQUE, password TEXT NOT NULL, color TEXT NOT NULL DEFAULT '', firstname TEXT, surename TEXT, email TEXT, phone TEXT, description TEXT)
CREATE TABLE IF NOT EXISTS positions (id INTEGER PRIMARY KEY, user INTEGER NOT NULL, datetime TEXT NOT NULL, lat REAL NOT NULL, lon REAL NOT NULL, prec REAL, alt REAL, altprec REAL, heading REAL, speed REAL, vspeed REAL, geoidheight REAL, depth REAL, magvar REAL, sat INTEGER, trackid TEXT NOT NULL DEFAULT '', comment TEXT)
CREATE TABLE IF NOT EXISTS variables (name TEXT NOT NULL PRIMARY KEY, value TEXT)
-- Feeds look positions up by client (newest first, track of the newest) and by track.
CREATE INDEX IF NOT EXISTS positions_user_datetime ON positions (user, datetime)
CREATE INDEX IF NOT EXISTS positions_trackid_datetime ON positions (trackid, datetime)
INSERT OR REPLACE INTO variables (name, value) VALUES ('version', '1')
