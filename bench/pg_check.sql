-- pgbench script shaped like one ticket check on PostgreSQL: lock a row, change it, append a log
-- line, commit durably. What PostgreSQL alone can do here, without HTTP or tav-server.
\set aid random(1, 1000000)
BEGIN;
SELECT abalance FROM pgbench_accounts WHERE aid = :aid FOR UPDATE;
UPDATE pgbench_accounts SET abalance = abalance + 1 WHERE aid = :aid;
INSERT INTO pgbench_history (tid, bid, aid, delta, mtime) VALUES (1, 1, :aid, 1, CURRENT_TIMESTAMP);
END;
