#pragma once

// What the database object calls on its connections. The connection class implements it; the
// database keeps connections only weakly (through their DizEvozidizConnectionState).

class DizEvozidizConnectionHooks {
 public:
  virtual ~DizEvozidizConnectionHooks() = default;

  // Called on the database's snapshot queue after a checkpoint found every WAL frame checkpointed,
  // for a connection that holds a long-lived read transaction at the database's latest snapshot:
  // the connection should restart that read transaction so it stops pinning old WAL contents.
  // Must not wait for the snapshot queue.
  virtual void maybeResetLongLivedReadTransaction() = 0;
};
