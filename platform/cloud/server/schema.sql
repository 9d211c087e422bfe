-- Zorvel's cloud record database on PostgreSQL: each user's private zones of records, change
-- tokens, and zone subscriptions that push through LISTEN/NOTIFY.
--
-- Load it as the database's owner (a superuser) into an empty database, or again over itself:
--   psql -v ON_ERROR_STOP=1 -f schema.sql
-- Every application user is a login role that is a member of "zorvel_cloud_user" (see add_user).
-- Loading it again over an older version keeps every stored row and moves the rights, owners and
-- limits to what this file says.
--
-- Trust: application users hold no rights on the tables at all. They call the functions below,
-- which run with the rights of the tables' owner "zorvel_cloud_owner" (a role nobody logs in as),
-- check that the caller is an application user (else ZC010) and touch only the caller's own
-- rows. The caller is the role that logged in (session_user, which only a superuser could
-- change); inside these functions current_user is their owner. So a user can neither read,
-- change nor lock another user's zones, records or subscriptions, whatever SQL it sends: LOCK
-- TABLE, plain SELECT or UPDATE are refused. Row-level security on every table keeps any role
-- that is ever granted rights on them to the rows of the role that logged in. Push channels are
-- random names that only their owner can read; anyone who learns one can still NOTIFY it
-- (PostgreSQL has no right for that), which the client bears by coalescing pushes.
--
-- Limits: every application user's login role gets lock_timeout, statement_timeout and
-- idle_in_transaction_session_timeout (set on the login role, since PostgreSQL applies role
-- settings of the role that logs in only, not of the roles it is a member of; add_user sets them,
-- and loading this file sets them on every existing user). A user may lower them for its own
-- session, which holds up only its own rows.
--
-- What users can see of each other: this database's statistics views and functions (row counts,
-- table sizes, other sessions and their locks), the size functions, the role listings (pg_roles,
-- pg_user, pg_group) and the row estimates of pg_class (reltuples, relpages, relallvisible) are
-- revoked from PUBLIC. What stays visible to every role, because PostgreSQL cannot take it away
-- or its own work needs it: a role's name from its number (the regrole cast, pg_get_userbyid) and
-- whether a named role exists (pg_has_role), so account names can still be guessed, or
-- enumerated by number; pg_auth_members (role numbers only, which the service's own membership
-- check reads); pg_authid stays closed as PostgreSQL ships it; the names and definitions of the
-- schema's tables and functions; and, in the cluster's other databases, their catalogs as they
-- are. The last is closed by the cluster's pg_hba.conf, which should let the members of
-- zorvel_cloud_user ("+zorvel_cloud_user") into this database only (cluster.sh does so for its
-- throwaway clusters).
--
-- Change tracking: every zone row carries its own change counter. A writer takes the zone row's
-- lock before it numbers its changes and keeps it until it commits, so change numbers of a zone
-- become visible in order: a reader that has seen number n can never later meet a change
-- numbered below n (a global sequence cannot promise that: a lower number may commit after a
-- higher one has been read). A change token names the zone's incarnation and a change number.
-- Deletions leave markers (with the record type) so that readers learn of them; purging old
-- markers raises the zone's purge horizon, and tokens older than it expire.
--
-- Errors that concern one item come back as result rows with a code (the client's error codes:
-- 11 unknown item, 12 invalid arguments, 14 server record changed, 26 zone not found, 27 limit
-- exceeded); errors of a whole request are raised with SQLSTATE "ZC" followed by the code.

BEGIN;

DO $$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zorvel_cloud_user') THEN
    CREATE ROLE zorvel_cloud_user NOLOGIN;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'zorvel_cloud_owner') THEN
    CREATE ROLE zorvel_cloud_owner NOLOGIN;
  END IF;
END
$$;

CREATE SCHEMA IF NOT EXISTS zorvel_cloud;
ALTER SCHEMA zorvel_cloud OWNER TO zorvel_cloud_owner;
REVOKE ALL ON SCHEMA zorvel_cloud FROM PUBLIC;
GRANT USAGE ON SCHEMA zorvel_cloud TO zorvel_cloud_user;

CREATE TABLE IF NOT EXISTS zorvel_cloud.zones (
  owner name NOT NULL,
  container text NOT NULL,
  zone_name text NOT NULL,
  incarnation text NOT NULL DEFAULT replace(gen_random_uuid()::text, '-', ''),
  change_counter bigint NOT NULL DEFAULT 0,
  purged_through bigint NOT NULL DEFAULT 0,
  created_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (owner, container, zone_name)
);

CREATE TABLE IF NOT EXISTS zorvel_cloud.records (
  owner name NOT NULL,
  container text NOT NULL,
  zone_name text NOT NULL,
  record_name text NOT NULL,
  record_type text NOT NULL,
  fields jsonb NOT NULL DEFAULT '{}',
  change_tag text NOT NULL,
  change_number bigint NOT NULL,
  deleted boolean NOT NULL DEFAULT false,
  created_at timestamptz NOT NULL,
  created_by name NOT NULL,
  modified_at timestamptz NOT NULL,
  modified_by name NOT NULL,
  PRIMARY KEY (owner, container, zone_name, record_name),
  FOREIGN KEY (owner, container, zone_name) REFERENCES zorvel_cloud.zones ON DELETE CASCADE
);
CREATE INDEX IF NOT EXISTS records_by_change ON zorvel_cloud.records (owner, container, zone_name, change_number);

CREATE TABLE IF NOT EXISTS zorvel_cloud.subscriptions (
  owner name NOT NULL,
  container text NOT NULL,
  subscription_id text NOT NULL,
  zone_name text NOT NULL,
  content_available boolean NOT NULL DEFAULT false,
  channel text NOT NULL UNIQUE DEFAULT 'zc_' || replace(gen_random_uuid()::text, '-', ''),  -- 122 random bits
  PRIMARY KEY (owner, container, subscription_id),
  FOREIGN KEY (owner, container, zone_name) REFERENCES zorvel_cloud.zones ON DELETE CASCADE
);

-- Every row names its owner explicitly; a default would name whoever runs the statement.
ALTER TABLE zorvel_cloud.zones ALTER COLUMN owner DROP DEFAULT;
ALTER TABLE zorvel_cloud.records ALTER COLUMN owner DROP DEFAULT;
ALTER TABLE zorvel_cloud.subscriptions ALTER COLUMN owner DROP DEFAULT;
ALTER TABLE zorvel_cloud.zones OWNER TO zorvel_cloud_owner;
ALTER TABLE zorvel_cloud.records OWNER TO zorvel_cloud_owner;
ALTER TABLE zorvel_cloud.subscriptions OWNER TO zorvel_cloud_owner;

-- A second wall for any role that is ever given rights on the tables: it meets only the rows of
-- the role that logged in. (The owner, which the functions run as, passes; they filter by owner
-- themselves.)
ALTER TABLE zorvel_cloud.zones ENABLE ROW LEVEL SECURITY;
ALTER TABLE zorvel_cloud.records ENABLE ROW LEVEL SECURITY;
ALTER TABLE zorvel_cloud.subscriptions ENABLE ROW LEVEL SECURITY;
DROP POLICY IF EXISTS own_rows ON zorvel_cloud.zones;
DROP POLICY IF EXISTS own_rows ON zorvel_cloud.records;
DROP POLICY IF EXISTS own_rows ON zorvel_cloud.subscriptions;
CREATE POLICY own_rows ON zorvel_cloud.zones USING (owner = session_user) WITH CHECK (owner = session_user);
CREATE POLICY own_rows ON zorvel_cloud.records USING (owner = session_user) WITH CHECK (owner = session_user);
CREATE POLICY own_rows ON zorvel_cloud.subscriptions USING (owner = session_user) WITH CHECK (owner = session_user);
-- No direct rights for anyone but the owner: a right to change a table is also the right to lock
-- all of it (LOCK TABLE), which would stall every other user.
REVOKE ALL ON ALL TABLES IN SCHEMA zorvel_cloud FROM PUBLIC, zorvel_cloud_user;

-- Whether the role that logged in is an application user: a direct member of zorvel_cloud_user
-- (superusers count as members of every role for pg_has_role, so it cannot tell).
CREATE OR REPLACE FUNCTION zorvel_cloud.session_is_user() RETURNS boolean
LANGUAGE sql STABLE SET search_path = pg_catalog, pg_temp AS $$
  SELECT EXISTS (SELECT 1 FROM pg_auth_members m
                  WHERE m.member = to_regrole(quote_ident(session_user))
                    AND m.roleid = to_regrole('zorvel_cloud_user'))
$$;

-- The application user a request comes from: the role that logged in. Fails with ZC010 for any
-- other role.
CREATE OR REPLACE FUNCTION zorvel_cloud.caller() RETURNS name
LANGUAGE plpgsql STABLE SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  IF NOT zorvel_cloud.session_is_user() THEN
    RAISE EXCEPTION 'The role % is not a user of the cloud database', session_user USING ERRCODE = 'ZC010';
  END IF;
  RETURN session_user;
END
$$;

-- A name the service accepts for a zone, record, record type or subscription.
CREATE OR REPLACE FUNCTION zorvel_cloud.valid_name(p_name text) RETURNS boolean
LANGUAGE sql IMMUTABLE AS $$
  SELECT p_name IS NOT NULL AND length(p_name) BETWEEN 1 AND 255
$$;

-- A fresh change tag: random, so that a tag from an earlier incarnation of a record never matches.
CREATE OR REPLACE FUNCTION zorvel_cloud.new_change_tag() RETURNS text
LANGUAGE sql VOLATILE AS $$
  SELECT left(replace(gen_random_uuid()::text, '-', ''), 16)
$$;

CREATE OR REPLACE FUNCTION zorvel_cloud.epoch(p_time timestamptz) RETURNS double precision
LANGUAGE sql IMMUTABLE AS $$
  SELECT extract(epoch FROM p_time)::double precision
$$;

-- Zones by name (all of the caller's zones when p_names is null); o_found false for a missing one.
CREATE OR REPLACE FUNCTION zorvel_cloud.fetch_zones(p_container text, p_names text[])
RETURNS TABLE (o_name text, o_found boolean)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_user name := caller();
BEGIN
  RETURN QUERY
    SELECT z.zone_name, true FROM zones z
     WHERE p_names IS NULL AND z.owner = v_user AND z.container = p_container
    UNION ALL
    SELECT n.name, EXISTS (SELECT 1 FROM zones z
                            WHERE z.owner = v_user AND z.container = p_container AND z.zone_name = n.name)
      FROM unnest(p_names) WITH ORDINALITY AS n(name, position)
     WHERE p_names IS NOT NULL;
END
$$;

-- Creates the zones that do not exist yet (saving an existing zone changes nothing) and deletes
-- zones with everything in them. One row per item: o_kind 'save' or 'delete', o_code 0 or an
-- item error.
CREATE OR REPLACE FUNCTION zorvel_cloud.modify_zones(p_container text, p_saves text[], p_deletes text[])
RETURNS TABLE (o_kind text, o_name text, o_code integer, o_message text)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_user name := caller();
  v_name text;
BEGIN
  FOREACH v_name IN ARRAY coalesce(p_saves, '{}') LOOP
    o_kind := 'save'; o_name := v_name;
    IF NOT valid_name(v_name) THEN
      o_code := 12; o_message := format('Invalid zone name "%s"', v_name);
    ELSE
      INSERT INTO zones (owner, container, zone_name) VALUES (v_user, p_container, v_name)
        ON CONFLICT DO NOTHING;
      o_code := 0; o_message := NULL;
    END IF;
    RETURN NEXT;
  END LOOP;
  FOREACH v_name IN ARRAY coalesce(p_deletes, '{}') LOOP
    o_kind := 'delete'; o_name := v_name;
    DELETE FROM zones z WHERE z.owner = v_user AND z.container = p_container AND z.zone_name = v_name;
    o_code := 0; o_message := NULL;
    RETURN NEXT;
  END LOOP;
END
$$;

-- Subscriptions by ID (all of the caller's when p_ids is null); o_found false for a missing one.
CREATE OR REPLACE FUNCTION zorvel_cloud.fetch_subscriptions(p_container text, p_ids text[])
RETURNS TABLE (o_id text, o_found boolean, o_zone text, o_content_available boolean, o_channel text)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_user name := caller();
BEGIN
  RETURN QUERY
    SELECT s.subscription_id, true, s.zone_name, s.content_available, s.channel FROM subscriptions s
     WHERE p_ids IS NULL AND s.owner = v_user AND s.container = p_container
    UNION ALL
    SELECT i.id, s.subscription_id IS NOT NULL, s.zone_name, s.content_available, s.channel
      FROM unnest(p_ids) WITH ORDINALITY AS i(id, position)
      LEFT JOIN subscriptions s
        ON s.owner = v_user AND s.container = p_container AND s.subscription_id = i.id
     WHERE p_ids IS NOT NULL;
END
$$;

-- Saves zone subscriptions (p_saves: [{"id", "zone", "contentAvailable"}]; a saved one keeps its
-- channel) and deletes subscriptions by ID.
CREATE OR REPLACE FUNCTION zorvel_cloud.modify_subscriptions(p_container text, p_saves jsonb, p_deletes text[])
RETURNS TABLE (o_kind text, o_id text, o_code integer, o_message text, o_channel text)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_user name := caller();
  v_item jsonb;
  v_id text;
BEGIN
  FOR v_item IN SELECT e FROM jsonb_array_elements(coalesce(p_saves, '[]')) WITH ORDINALITY AS t(e, n) ORDER BY n LOOP
    o_kind := 'save'; o_id := v_item->>'id'; o_channel := NULL; o_message := NULL;
    IF NOT valid_name(o_id) OR NOT valid_name(v_item->>'zone') THEN
      o_code := 12; o_message := format('Invalid subscription "%s"', o_id);
    ELSIF NOT EXISTS (SELECT 1 FROM zones z WHERE z.owner = v_user AND z.container = p_container
                                               AND z.zone_name = v_item->>'zone') THEN
      o_code := 26; o_message := format('Zone %s not found', v_item->>'zone');
    ELSE
      INSERT INTO subscriptions AS s (owner, container, subscription_id, zone_name, content_available)
        VALUES (v_user, p_container, o_id, v_item->>'zone', coalesce((v_item->>'contentAvailable')::boolean, false))
        ON CONFLICT (owner, container, subscription_id) DO UPDATE
          SET zone_name = excluded.zone_name, content_available = excluded.content_available
        RETURNING s.channel INTO o_channel;
      o_code := 0;
    END IF;
    RETURN NEXT;
  END LOOP;
  FOREACH v_id IN ARRAY coalesce(p_deletes, '{}') LOOP
    o_kind := 'delete'; o_id := v_id; o_code := 0; o_message := NULL; o_channel := NULL;
    DELETE FROM subscriptions s WHERE s.owner = v_user AND s.container = p_container AND s.subscription_id = v_id;
    RETURN NEXT;
  END LOOP;
END
$$;

-- Saves and deletes records, each item on its own (one failing item leaves the others).
--   p_saves:   [{"zone", "name", "type", "tag" (absent for a new record), "fields" {key: value},
--               "removed" [keys]}]
--   p_deletes: [{"zone", "name"}]
-- A save without a tag creates the record, unless a live record of that name exists (14). A save
-- with a tag succeeds only when the stored record still carries that tag (else 14; 11 when the
-- record does not exist or was deleted), and merges only the given keys into the stored values.
-- Deleting a record that is missing or already deleted succeeds without a change.
-- Every change gets the next number of its zone; subscribers of a changed zone are notified with
-- an empty payload when the transaction commits.
CREATE OR REPLACE FUNCTION zorvel_cloud.modify_records(p_container text, p_saves jsonb, p_deletes jsonb)
RETURNS TABLE (o_kind text, o_index integer, o_code integer, o_message text, o_tag text,
               o_created double precision, o_created_by text, o_modified double precision, o_modified_by text)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_user name := caller();
  v_zone text;
  v_counter bigint;
  v_counters jsonb := '{}';   -- zone -> last change number used
  v_changed text[] := '{}';   -- zones that changed
  v_item jsonb;
  v_index bigint;
  v_record records%ROWTYPE;
  v_found boolean;
  v_fields jsonb;
  v_number bigint;
  v_name text;
BEGIN
  -- Lock the zones in name order, so that concurrent requests queue instead of deadlocking.
  FOR v_zone IN
    SELECT DISTINCT s.zone FROM (
      SELECT e->>'zone' AS zone FROM jsonb_array_elements(coalesce(p_saves, '[]')) e
      UNION SELECT e->>'zone' FROM jsonb_array_elements(coalesce(p_deletes, '[]')) e) s
    WHERE s.zone IS NOT NULL ORDER BY 1
  LOOP
    SELECT z.change_counter INTO v_counter FROM zones z
     WHERE z.owner = v_user AND z.container = p_container AND z.zone_name = v_zone FOR UPDATE;
    IF FOUND THEN
      v_counters := v_counters || jsonb_build_object(v_zone, v_counter);
    END IF;
  END LOOP;

  -- Saves first, then deletions, each in the order given.
  FOR o_kind, v_item, v_index IN
    SELECT 'save', e, n - 1 FROM jsonb_array_elements(coalesce(p_saves, '[]')) WITH ORDINALITY AS t(e, n)
    UNION ALL
    SELECT 'delete', e, n - 1 FROM jsonb_array_elements(coalesce(p_deletes, '[]')) WITH ORDINALITY AS t(e, n)
    ORDER BY 1 DESC, 3
  LOOP
    o_index := v_index; o_tag := NULL; o_message := NULL;
    o_created := NULL; o_created_by := NULL; o_modified := NULL; o_modified_by := NULL;
    v_zone := v_item->>'zone';
    v_name := v_item->>'name';
    IF NOT valid_name(v_zone) OR NOT valid_name(v_name)
       OR (o_kind = 'save' AND (NOT valid_name(v_item->>'type')
                                OR jsonb_typeof(v_item->'fields') IS DISTINCT FROM 'object')) THEN
      o_code := 12; o_message := format('Invalid record "%s" in zone %s', v_name, v_zone);
      RETURN NEXT; CONTINUE;
    END IF;
    IF NOT v_counters ? v_zone THEN
      o_code := 26; o_message := format('Zone %s not found (record %s)', v_zone, v_name);
      RETURN NEXT; CONTINUE;
    END IF;
    v_number := (v_counters->>v_zone)::bigint + 1;

    IF o_kind = 'delete' THEN
      UPDATE records r SET fields = '{}', deleted = true, change_number = v_number, change_tag = new_change_tag(),
                           modified_at = now(), modified_by = v_user
       WHERE r.owner = v_user AND r.container = p_container AND r.zone_name = v_zone
         AND r.record_name = v_name AND NOT r.deleted;
      IF FOUND THEN
        v_counters := jsonb_set(v_counters, ARRAY[v_zone], to_jsonb(v_number));
        v_changed := array_append(v_changed, v_zone);
      END IF;
      o_code := 0;
      RETURN NEXT; CONTINUE;
    END IF;

    SELECT * INTO v_record FROM records r
     WHERE r.owner = v_user AND r.container = p_container AND r.zone_name = v_zone AND r.record_name = v_name;
    v_found := FOUND AND NOT v_record.deleted;
    IF v_item->>'tag' IS NULL THEN
      IF v_found THEN
        o_code := 14;
        o_message := format('Record %s already exists in zone %s (server change tag %s)', v_name, v_zone, v_record.change_tag);
        RETURN NEXT; CONTINUE;
      END IF;
      v_fields := v_item->'fields';
    ELSE
      IF NOT v_found THEN
        o_code := 11; o_message := format('Record %s not found in zone %s', v_name, v_zone);
        RETURN NEXT; CONTINUE;
      END IF;
      IF v_record.change_tag <> v_item->>'tag' THEN
        o_code := 14;
        o_message := format('Record %s in zone %s was changed on the server (client change tag %s, server change tag %s)',
                            v_name, v_zone, v_item->>'tag', v_record.change_tag);
        RETURN NEXT; CONTINUE;
      END IF;
      IF v_record.record_type <> v_item->>'type' THEN
        o_code := 12;
        o_message := format('Record %s in zone %s has type %s, not %s', v_name, v_zone, v_record.record_type, v_item->>'type');
        RETURN NEXT; CONTINUE;
      END IF;
      v_fields := (v_record.fields || (v_item->'fields'))
                  - ARRAY(SELECT jsonb_array_elements_text(coalesce(v_item->'removed', '[]')));
    END IF;
    IF octet_length(v_fields::text) > 1048576 THEN
      o_code := 27; o_message := format('Record %s in zone %s is larger than 1 MiB', v_name, v_zone);
      RETURN NEXT; CONTINUE;
    END IF;
    v_counters := jsonb_set(v_counters, ARRAY[v_zone], to_jsonb(v_number));
    v_changed := array_append(v_changed, v_zone);
    o_tag := new_change_tag();
    INSERT INTO records AS r (owner, container, zone_name, record_name, record_type, fields, change_tag,
                              change_number, deleted, created_at, created_by, modified_at, modified_by)
      VALUES (v_user, p_container, v_zone, v_name, v_item->>'type', v_fields, o_tag,
              v_number, false, now(), v_user, now(), v_user)
      ON CONFLICT (owner, container, zone_name, record_name) DO UPDATE SET
        record_type = excluded.record_type, fields = excluded.fields, change_tag = excluded.change_tag,
        change_number = excluded.change_number, deleted = false,
        created_at = CASE WHEN r.deleted THEN excluded.created_at ELSE r.created_at END,
        created_by = CASE WHEN r.deleted THEN excluded.created_by ELSE r.created_by END,
        modified_at = excluded.modified_at, modified_by = excluded.modified_by
      RETURNING epoch(r.created_at), r.created_by::text, epoch(r.modified_at), r.modified_by::text
        INTO o_created, o_created_by, o_modified, o_modified_by;
    o_code := 0;
    RETURN NEXT;
  END LOOP;

  UPDATE zones z SET change_counter = (v_counters->>z.zone_name)::bigint
   WHERE z.owner = v_user AND z.container = p_container AND z.zone_name = ANY (v_changed);
  PERFORM pg_notify(s.channel, '') FROM subscriptions s
   WHERE s.owner = v_user AND s.container = p_container AND s.zone_name = ANY (v_changed) AND s.content_available;
END
$$;

-- The changes of a zone after a change token (from the start when p_token is null, without
-- deletion markers then), oldest first, at most p_limit + 1 rows after a first row of kind 'zone'
-- whose o_name is the zone's incarnation and o_number its change counter (a page has at most
-- 10,000 changes). Raises ZC026 for a
-- missing zone and ZC021 for a token that has expired (purged past it, or from another
-- incarnation of the zone). Runs on one snapshot, so the counter and the rows agree.
CREATE OR REPLACE FUNCTION zorvel_cloud.fetch_changes(p_container text, p_zone text, p_token text, p_limit integer)
RETURNS TABLE (o_kind text, o_name text, o_type text, o_fields jsonb, o_tag text, o_created double precision,
               o_created_by text, o_modified double precision, o_modified_by text, o_number bigint)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_user name := caller();
  v_zone zones%ROWTYPE;
  v_since bigint := 0;
BEGIN
  SELECT * INTO v_zone FROM zones z WHERE z.owner = v_user AND z.container = p_container AND z.zone_name = p_zone;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'Zone % not found', p_zone USING ERRCODE = 'ZC026';
  END IF;
  IF p_token IS NOT NULL THEN
    IF p_token !~ '^[0-9a-f]{32}:[0-9]{1,18}$' OR split_part(p_token, ':', 1) <> v_zone.incarnation THEN
      RAISE EXCEPTION 'Change token expired for zone %', p_zone USING ERRCODE = 'ZC021';
    END IF;
    v_since := split_part(p_token, ':', 2)::bigint;
    IF v_since < v_zone.purged_through OR v_since > v_zone.change_counter THEN
      RAISE EXCEPTION 'Change token expired for zone %', p_zone USING ERRCODE = 'ZC021';
    END IF;
  END IF;
  o_kind := 'zone'; o_name := v_zone.incarnation; o_number := v_zone.change_counter;
  RETURN NEXT;
  RETURN QUERY
    SELECT CASE WHEN r.deleted THEN 'deleted' ELSE 'record' END, r.record_name, r.record_type, r.fields, r.change_tag,
           epoch(r.created_at), r.created_by::text, epoch(r.modified_at), r.modified_by::text, r.change_number
      FROM records r
     WHERE r.owner = v_user AND r.container = p_container AND r.zone_name = p_zone
       AND r.change_number > v_since AND (p_token IS NOT NULL OR NOT r.deleted)
     ORDER BY r.change_number
     LIMIT least(greatest(p_limit, 1), 10000) + 1;
END
$$;

-- Records by ID (p_items: [{"zone", "name"}]): one row per item, o_code 0, 11 (missing or
-- deleted) or 26 (no such zone).
CREATE OR REPLACE FUNCTION zorvel_cloud.fetch_records(p_container text, p_items jsonb)
RETURNS TABLE (o_index integer, o_code integer, o_message text, o_type text, o_fields jsonb, o_tag text,
               o_created double precision, o_created_by text, o_modified double precision, o_modified_by text)
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_user name := caller();
BEGIN
  RETURN QUERY
  SELECT (i.n - 1)::integer,
         CASE WHEN z.zone_name IS NULL THEN 26 WHEN r.record_name IS NULL OR r.deleted THEN 11 ELSE 0 END,
         CASE WHEN z.zone_name IS NULL THEN format('Zone %s not found (record %s)', i.e->>'zone', i.e->>'name')
              WHEN r.record_name IS NULL OR r.deleted THEN format('Record %s not found in zone %s', i.e->>'name', i.e->>'zone')
         END,
         r.record_type, r.fields, r.change_tag, epoch(r.created_at), r.created_by::text, epoch(r.modified_at),
         r.modified_by::text
    FROM jsonb_array_elements(coalesce(p_items, '[]')) WITH ORDINALITY AS i(e, n)
    LEFT JOIN zones z
      ON z.owner = v_user AND z.container = p_container AND z.zone_name = i.e->>'zone'
    LEFT JOIN records r
      ON r.owner = v_user AND r.container = p_container AND r.zone_name = i.e->>'zone'
     AND r.record_name = i.e->>'name'
   ORDER BY i.n;
END
$$;

-- Removes deletion markers older than the given age from the caller's zones (from every user's
-- zones when a superuser calls it) and moves each zone's purge horizon past them, so that change
-- tokens from before them expire. Returns how many markers were removed. Meant for a periodic
-- job.
CREATE OR REPLACE FUNCTION zorvel_cloud.purge_deletion_markers(p_older_than interval)
RETURNS bigint
LANGUAGE plpgsql SECURITY DEFINER SET search_path = zorvel_cloud, pg_temp AS $$
DECLARE
  v_all boolean := NOT session_is_user();  -- only users and superusers may run it
  v_user name := session_user;
  v_count bigint;
BEGIN
  WITH purged AS (
    DELETE FROM records r WHERE r.deleted AND r.modified_at <= now() - p_older_than AND (v_all OR r.owner = v_user)
    RETURNING r.owner, r.container, r.zone_name, r.change_number
  ), horizon AS (
    SELECT p.owner, p.container, p.zone_name, max(p.change_number) AS through, count(*) AS n
      FROM purged p GROUP BY 1, 2, 3
  ), moved AS (
    UPDATE zones z SET purged_through = greatest(z.purged_through, h.through)
      FROM horizon h
     WHERE z.owner = h.owner AND z.container = h.container AND z.zone_name = h.zone_name
    RETURNING h.n
  )
  SELECT coalesce(sum(n), 0) INTO v_count FROM moved;
  RETURN v_count;
END
$$;

-- The limits of an application user's sessions (see the notes at the top).
CREATE OR REPLACE FUNCTION zorvel_cloud.limit_user(p_name text)
RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  EXECUTE format('ALTER ROLE %I SET lock_timeout = %L', p_name, '5s');
  EXECUTE format('ALTER ROLE %I SET statement_timeout = %L', p_name, '60s');
  EXECUTE format('ALTER ROLE %I SET idle_in_transaction_session_timeout = %L', p_name, '60s');
END
$$;

-- Makes a login role an application user (run by a superuser).
CREATE OR REPLACE FUNCTION zorvel_cloud.add_user(p_name text, p_password text)
RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $$
BEGIN
  EXECUTE format('CREATE ROLE %I LOGIN PASSWORD %L IN ROLE zorvel_cloud_user', p_name, p_password);
  PERFORM zorvel_cloud.limit_user(p_name);
END
$$;

-- The users made before these limits existed get them too.
DO $$
BEGIN
  PERFORM zorvel_cloud.limit_user(r.rolname)
     FROM pg_auth_members m JOIN pg_roles r ON r.oid = m.member
    WHERE m.roleid = 'zorvel_cloud_user'::regrole AND r.rolcanlogin;
END
$$;

-- The functions run as (and the helpers belong to) the tables' owner; the user management
-- stays with the superusers that run it. Users may call the service's requests and nothing else.
DO $$
DECLARE
  v_function regprocedure;
BEGIN
  FOR v_function IN
    SELECT p.oid FROM pg_proc p
     WHERE p.pronamespace = 'zorvel_cloud'::regnamespace AND p.proname NOT IN ('add_user', 'limit_user')
  LOOP
    EXECUTE format('ALTER FUNCTION %s OWNER TO zorvel_cloud_owner', v_function);
  END LOOP;
END
$$;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA zorvel_cloud FROM PUBLIC, zorvel_cloud_user;
GRANT EXECUTE ON FUNCTION
  zorvel_cloud.fetch_zones(text, text[]), zorvel_cloud.modify_zones(text, text[], text[]),
  zorvel_cloud.fetch_subscriptions(text, text[]), zorvel_cloud.modify_subscriptions(text, jsonb, text[]),
  zorvel_cloud.modify_records(text, jsonb, jsonb), zorvel_cloud.fetch_changes(text, text, text, integer),
  zorvel_cloud.fetch_records(text, jsonb), zorvel_cloud.purge_deletion_markers(interval)
  TO zorvel_cloud_user;

-- What one user could learn of the others from this database's catalogs: the statistics views
-- (row counts, sizes, sessions, locks) and the functions under them, the size functions, the
-- role listings and the row estimates of pg_class. Revoked from PUBLIC (superusers keep them; the
-- server's own work does not read them through SQL). See the notes at the top for what stays.
DO $$
DECLARE
  v_name text;
  v_function regprocedure;
  v_columns text;
BEGIN
  FOR v_name IN
    SELECT c.relname FROM pg_class c
     WHERE c.relnamespace = 'pg_catalog'::regnamespace AND c.relkind = 'v'
       AND (c.relname LIKE 'pg\_stat%' OR c.relname IN ('pg_roles', 'pg_user', 'pg_group', 'pg_locks',
                                                       'pg_prepared_xacts', 'pg_backend_memory_contexts'))
  LOOP
    EXECUTE format('REVOKE ALL ON pg_catalog.%I FROM PUBLIC', v_name);
  END LOOP;
  FOR v_function IN
    SELECT p.oid FROM pg_proc p
     WHERE p.pronamespace = 'pg_catalog'::regnamespace
       AND (p.proname LIKE 'pg\_stat\_get\_%' OR p.proname LIKE 'pg\_stat\_file%'
            OR p.proname IN ('pg_relation_size', 'pg_total_relation_size', 'pg_table_size', 'pg_indexes_size',
                             'pg_database_size', 'pg_tablespace_size', 'pg_lock_status', 'pg_blocking_pids',
                             'pg_safe_snapshot_blocking_pids', 'pg_prepared_xact'))
  LOOP
    EXECUTE format('REVOKE EXECUTE ON FUNCTION %s FROM PUBLIC', v_function);
  END LOOP;
  -- pg_class stays readable but for its size columns (reltuples is a row count).
  SELECT string_agg(quote_ident(a.attname), ', ' ORDER BY a.attnum) INTO v_columns
    FROM pg_attribute a
   WHERE a.attrelid = 'pg_catalog.pg_class'::regclass AND a.attnum > 0 AND NOT a.attisdropped
     AND a.attname NOT IN ('reltuples', 'relpages', 'relallvisible');
  REVOKE SELECT ON pg_catalog.pg_class FROM PUBLIC;
  EXECUTE format('GRANT SELECT (%s) ON pg_catalog.pg_class TO PUBLIC', v_columns);
END
$$;

COMMIT;
