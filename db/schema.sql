-- Reference schema of the two tables fifodel uses, for tests, the demo and the
-- benchmarks. A recording server's own database may hold more columns and
-- tables; fifodel reads and writes only what is described here.

-- One row per recorded call.
CREATE TABLE calls (
  -- Identifies the call in the marking statement.
  id bigint PRIMARY KEY,
  -- Hour directory of the call's files below /recordings, as YYYY/MM/DD/HH.
  directory text,
  -- Name of the media file in that directory; the companion file is the same
  -- name with ".g711" appended.
  filename text,
  -- Bit set. 2: the call has a screen recording file. 4: set by fifodel once
  -- the call's media file is gone.
  flags integer NOT NULL DEFAULT 0,
  -- Tenant charged with the freed bytes; 0 means nobody.
  tenantid bigint NOT NULL DEFAULT 0,
  -- Screen recording file name in the call's directory; NULL means the name
  -- is derived from filename ("screen" + filename, extension "wmv").
  screenfn text,
  -- 1: the call may be reclaimed. fifodel sets it back to 0 when it marks
  -- the call.
  isarchived integer NOT NULL DEFAULT 0,
  -- Age of the call: the oldest archived call is reclaimed first.
  startdate timestamp NOT NULL
);

-- Serves the reclamation query (isarchived=1 ORDER BY startdate LIMIT 200)
-- and its continuations after the last call seen, in (startdate, id) order,
-- by reading the next entries of a small index instead of sorting the whole
-- table: its cost stays the same however much history the table holds.
CREATE INDEX calls_archived_by_age ON calls (startdate, id) WHERE isarchived = 1;

-- Serves the question pruning asks before a stale directory goes: does a
-- call that is not reclaimed yet, archived or not, have its media file in it
-- or below it? A recorder's clock that stepped back puts archived calls in
-- directories older than the oldest archived call's. The expression is the
-- media file's path with empty and "." components dropped, so that every
-- spelling of a directory ("/2019/...", "./2019/...", "2019//03", a trailing
-- "/") leads to the same entry, or '/..' where a ".." component makes the
-- path unknowable. Only calls whose files are still on the disk are in the
-- index: it grows with the disk, not with the years of history the table
-- holds; text_pattern_ops lets the prefix match use it under any collation.
-- The question repeats the expression exactly, or the planner would not see
-- it.
CREATE INDEX calls_unreclaimed_by_path ON calls ((CASE
  WHEN '/' || directory || '/' || filename ~ '/\.\.(/|$)' THEN '/..'
  ELSE regexp_replace('/' || directory || '/' || filename, '/(\.?/)*', '/', 'g')
  END) text_pattern_ops) WHERE flags & 4 = 0;

-- Serves the count of calls not archived yet and the start of the oldest,
-- which fifodel asks once a minute to tell how far archiving is behind:
-- only such calls are in it, so it stays as small as the backlog.
CREATE INDEX calls_pending_by_age ON calls (startdate)
  WHERE isarchived = 0 AND flags & 4 = 0;

-- Named values. fifodel uses only the tenant disk-usage counters, named
-- TN<tenant id>_DiskUsage, whose value is the tenant's usage in bytes as
-- decimal text.
CREATE TABLE configs (
  -- Name of the entry; names may repeat, and a read takes the last row.
  param text NOT NULL,
  -- The value, as text.
  value text,
  -- Owner or group of the entry; fifodel writes it only when inserting.
  part text
);
CREATE INDEX configs_param ON configs (param);
