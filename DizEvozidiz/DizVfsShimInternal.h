#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizVfsShimInternal.h is internal to the store and its extensions"
#endif

// The file-system shim: a pass-through SQLite VFS that wraps another VFS (the default one unless
// named) so that a connection can learn the moment its read transaction really holds SQLite's
// shared read lock. Every operation is forwarded to the wrapped VFS and file, with these additions:
//  - the shim remembers the most recently opened WAL file (`diz_vfs_shim_last_opened_wal`);
//  - each file record carries a context pointer and a read hook for its owner; a successful read or
//    memory-map fetch calls the hook (a short read does not). The owner arms and disarms the hook;
//    to make it one-shot, the hook clears `read_hook` itself.
//  - an optional I/O fault hook lets tests make reads, writes, syncs, truncations and closes fail.
//
// Each database object registers one shim under a unique name; its connections open their SQLite
// handles through that name.
//
// Threads: any thread running SQLite calls may enter the shim; SQLite serialises calls on one file.
// `last_opened_wal` and the fault hook are guarded by the shim's mutex. `hook_context` and
// `read_hook` of a file are written only by the file's user, on the thread that runs that handle's
// SQLite calls.

#include <sqlite3.h>

#include <atomic>

#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

struct diz_vfs;
struct diz_file;

// Called with the file after a successful read or fetch.
using diz_read_hook = void (*)(diz_file* file);

// Operations the fault hook may fail.
enum class diz_io_op { read, write, sync, truncate, close };

// Returns SQLITE_OK to let the operation run, or the SQLite result code the operation should
// return instead. A failed operation leaves the file untouched, except close: the file is closed
// all the same and close answers the given code.
using diz_io_fault_hook = int (*)(void* context, diz_file* file, diz_io_op op);

struct diz_file {
  sqlite3_file base;           // what SQLite sees; its methods are `methods` below
  sqlite3_file* real_file;     // the wrapped file, stored right after this record
  diz_vfs* vfs;                // owning shim
  diz_file* next;              // unused; null
  const char* filename;        // the name given to open (not owned)
  bool is_wal;                 // opened with SQLITE_OPEN_WAL
  void* hook_context;          // the file's user (a connection stores itself here)
  diz_read_hook read_hook;     // null or the hook called after a successful read or fetch
  sqlite3_io_methods methods;  // this file's method table
};

struct diz_vfs {
  sqlite3_vfs base;       // what SQLite sees; base.zName points at the copied name
  sqlite3_vfs* real_vfs;  // the wrapped VFS
  platform::Mutex mutex;
  diz_file* last_opened_wal ZORVEL_GUARDED_BY(mutex);
  std::atomic<bool> has_fault_hook;  // whether fault_hook is set; read without the mutex
  diz_io_fault_hook fault_hook ZORVEL_GUARDED_BY(mutex);
  void* fault_context ZORVEL_GUARDED_BY(mutex);
};

// Registers a shim named `name` wrapping the VFS `real_vfs_name` (null: the default VFS), not as the
// default VFS. SQLITE_MISUSE for a null name, SQLITE_NOTFOUND when the VFS to wrap does not exist,
// SQLITE_NOMEM, or SQLite's refusal; `*out` is the new shim on success and null otherwise.
int diz_vfs_shim_register(const char* name, const char* real_vfs_name, diz_vfs** out);

// Unregisters and frees the shim and nulls `*shim`. SQLITE_MISUSE for a null pointer or record.
// No file of the shim may still be open.
int diz_vfs_shim_unregister(diz_vfs** shim);

// The most recently opened WAL file of the shim that is still open, or null.
diz_file* diz_vfs_shim_last_opened_wal(diz_vfs* shim);

// Installs (or, with a null hook, removes) the fault hook. Replace or remove it only while no I/O
// of the shim's files is in flight, since a running operation may still be calling the old one.
void diz_vfs_shim_set_fault_hook(diz_vfs* shim, diz_io_fault_hook hook, void* context);
