#include <cstddef>
#include <cstring>
#include <new>

#include "DizEvozidiz/DizVfsShimInternal.h"

namespace {

sqlite3_vfs* realVfs(sqlite3_vfs* vfs) { return reinterpret_cast<diz_vfs*>(vfs)->real_vfs; }
diz_file* shimFile(sqlite3_file* file) { return reinterpret_cast<diz_file*>(file); }
sqlite3_file* realFile(sqlite3_file* file) { return shimFile(file)->real_file; }
const sqlite3_io_methods* realMethods(sqlite3_file* file) { return realFile(file)->pMethods; }

int injectedFault(diz_file* file, diz_io_op op) {
  diz_vfs* shim = file->vfs;
  if (!shim->has_fault_hook.load(std::memory_order_acquire)) return SQLITE_OK;
  diz_io_fault_hook hook;
  void* context;
  {
    platform::MutexLock lock(shim->mutex);
    hook = shim->fault_hook;
    context = shim->fault_context;
  }
  return hook ? hook(context, file, op) : SQLITE_OK;
}

// ---- file methods ----

int shimClose(sqlite3_file* file) {
  diz_file* f = shimFile(file);
  const int fault = injectedFault(f, diz_io_op::close);
  int rc = realMethods(file)->xClose(f->real_file);
  if (fault != SQLITE_OK) rc = fault;
  // SQLite frees the file's memory whatever close answers, so the shim must forget it either way.
  f->base.pMethods = nullptr;
  if (f->is_wal) {
    platform::MutexLock lock(f->vfs->mutex);
    if (f->vfs->last_opened_wal == f) f->vfs->last_opened_wal = nullptr;
  }
  return rc;
}

int shimRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  diz_file* f = shimFile(file);
  if (int fault = injectedFault(f, diz_io_op::read); fault != SQLITE_OK) return fault;
  const int rc = realMethods(file)->xRead(f->real_file, buffer, amount, offset);
  if (rc == SQLITE_OK && f->read_hook) f->read_hook(f);
  return rc;
}

int shimWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (int fault = injectedFault(shimFile(file), diz_io_op::write); fault != SQLITE_OK) return fault;
  return realMethods(file)->xWrite(realFile(file), buffer, amount, offset);
}

int shimTruncate(sqlite3_file* file, sqlite3_int64 size) {
  if (int fault = injectedFault(shimFile(file), diz_io_op::truncate); fault != SQLITE_OK) return fault;
  return realMethods(file)->xTruncate(realFile(file), size);
}

int shimSync(sqlite3_file* file, int flags) {
  if (int fault = injectedFault(shimFile(file), diz_io_op::sync); fault != SQLITE_OK) return fault;
  return realMethods(file)->xSync(realFile(file), flags);
}

int shimFileSize(sqlite3_file* file, sqlite3_int64* size) { return realMethods(file)->xFileSize(realFile(file), size); }
int shimLock(sqlite3_file* file, int lock) { return realMethods(file)->xLock(realFile(file), lock); }
int shimUnlock(sqlite3_file* file, int lock) { return realMethods(file)->xUnlock(realFile(file), lock); }
int shimCheckReservedLock(sqlite3_file* file, int* out) {
  return realMethods(file)->xCheckReservedLock(realFile(file), out);
}
int shimFileControl(sqlite3_file* file, int op, void* arg) {
  return realMethods(file)->xFileControl(realFile(file), op, arg);
}
int shimSectorSize(sqlite3_file* file) { return realMethods(file)->xSectorSize(realFile(file)); }
int shimDeviceCharacteristics(sqlite3_file* file) { return realMethods(file)->xDeviceCharacteristics(realFile(file)); }
int shimShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  return realMethods(file)->xShmMap(realFile(file), region, size, extend, out);
}
int shimShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return realMethods(file)->xShmLock(realFile(file), offset, n, flags);
}
void shimShmBarrier(sqlite3_file* file) { realMethods(file)->xShmBarrier(realFile(file)); }
int shimShmUnmap(sqlite3_file* file, int deleteFlag) {
  return realMethods(file)->xShmUnmap(realFile(file), deleteFlag);
}
int shimFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  diz_file* f = shimFile(file);
  const int rc = realMethods(file)->xFetch(f->real_file, offset, amount, out);
  if (rc == SQLITE_OK && f->read_hook) f->read_hook(f);
  return rc;
}
int shimUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* pointer) {
  return realMethods(file)->xUnfetch(realFile(file), offset, pointer);
}

void buildMethods(sqlite3_io_methods& m, const sqlite3_io_methods& real) {
  std::memset(&m, 0, sizeof m);
  m.iVersion = real.iVersion;
  m.xClose = shimClose;
  m.xRead = shimRead;
  m.xWrite = shimWrite;
  m.xTruncate = shimTruncate;
  m.xSync = shimSync;
  m.xFileSize = shimFileSize;
  m.xLock = shimLock;
  m.xUnlock = shimUnlock;
  m.xCheckReservedLock = shimCheckReservedLock;
  m.xFileControl = shimFileControl;
  m.xSectorSize = shimSectorSize;
  m.xDeviceCharacteristics = shimDeviceCharacteristics;
  if (real.iVersion >= 2) {
    m.xShmMap = real.xShmMap ? shimShmMap : nullptr;
    m.xShmLock = real.xShmLock ? shimShmLock : nullptr;
    m.xShmBarrier = real.xShmBarrier ? shimShmBarrier : nullptr;
    m.xShmUnmap = real.xShmUnmap ? shimShmUnmap : nullptr;
  }
  if (real.iVersion >= 3) {
    m.xFetch = real.xFetch ? shimFetch : nullptr;
    m.xUnfetch = real.xUnfetch ? shimUnfetch : nullptr;
  }
}

// ---- VFS methods ----

int shimOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  diz_vfs* shim = reinterpret_cast<diz_vfs*>(vfs);
  diz_file* f = shimFile(file);
  f->base.pMethods = nullptr;
  f->vfs = shim;
  f->next = nullptr;
  f->filename = name;
  f->is_wal = (flags & SQLITE_OPEN_WAL) != 0;
  f->hook_context = nullptr;
  f->read_hook = nullptr;
  f->real_file = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + sizeof(diz_file));

  const int rc = shim->real_vfs->xOpen(shim->real_vfs, name, f->real_file, flags, outFlags);
  // SQLite closes a file whose methods are set even when open failed, so the wrapped file gets
  // closed through the shim in that case too.
  if (f->real_file->pMethods) {
    buildMethods(f->methods, *f->real_file->pMethods);
    f->base.pMethods = &f->methods;
  }
  if (rc != SQLITE_OK) return rc;
  if (f->is_wal) {
    platform::MutexLock lock(shim->mutex);
    shim->last_opened_wal = f;
  }
  return SQLITE_OK;
}

int shimDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  return realVfs(vfs)->xDelete(realVfs(vfs), name, syncDir);
}
int shimAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return realVfs(vfs)->xAccess(realVfs(vfs), name, flags, out);
}
int shimFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return realVfs(vfs)->xFullPathname(realVfs(vfs), name, size, out);
}
void* shimDlOpen(sqlite3_vfs* vfs, const char* name) { return realVfs(vfs)->xDlOpen(realVfs(vfs), name); }
void shimDlError(sqlite3_vfs* vfs, int size, char* out) { realVfs(vfs)->xDlError(realVfs(vfs), size, out); }
void (*shimDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return realVfs(vfs)->xDlSym(realVfs(vfs), handle, symbol);
}
void shimDlClose(sqlite3_vfs* vfs, void* handle) { realVfs(vfs)->xDlClose(realVfs(vfs), handle); }
int shimRandomness(sqlite3_vfs* vfs, int size, char* out) { return realVfs(vfs)->xRandomness(realVfs(vfs), size, out); }
int shimSleep(sqlite3_vfs* vfs, int microseconds) { return realVfs(vfs)->xSleep(realVfs(vfs), microseconds); }
int shimCurrentTime(sqlite3_vfs* vfs, double* out) { return realVfs(vfs)->xCurrentTime(realVfs(vfs), out); }
int shimGetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return realVfs(vfs)->xGetLastError(realVfs(vfs), size, out);
}
int shimCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return realVfs(vfs)->xCurrentTimeInt64(realVfs(vfs), out);
}
int shimSetSystemCall(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr call) {
  return realVfs(vfs)->xSetSystemCall(realVfs(vfs), name, call);
}
sqlite3_syscall_ptr shimGetSystemCall(sqlite3_vfs* vfs, const char* name) {
  return realVfs(vfs)->xGetSystemCall(realVfs(vfs), name);
}
const char* shimNextSystemCall(sqlite3_vfs* vfs, const char* name) {
  return realVfs(vfs)->xNextSystemCall(realVfs(vfs), name);
}

void destroy(diz_vfs* shim) {
  shim->~diz_vfs();
  sqlite3_free(shim);
}

}  // namespace

int diz_vfs_shim_register(const char* name, const char* real_vfs_name, diz_vfs** out) {
  if (out) *out = nullptr;
  if (!name || !out) return SQLITE_MISUSE;
  sqlite3_vfs* real = sqlite3_vfs_find(real_vfs_name);
  if (!real) return SQLITE_NOTFOUND;

  const std::size_t nameLength = std::strlen(name);
  void* memory = sqlite3_malloc64(sizeof(diz_vfs) + nameLength + 1);
  if (!memory) return SQLITE_NOMEM;
  std::memset(memory, 0, sizeof(diz_vfs));
  diz_vfs* shim = new (memory) diz_vfs{};
  char* nameCopy = static_cast<char*>(memory) + sizeof(diz_vfs);
  std::memcpy(nameCopy, name, nameLength + 1);

  shim->real_vfs = real;

  sqlite3_vfs& v = shim->base;
  v.iVersion = real->iVersion;
  v.szOsFile = real->szOsFile + static_cast<int>(sizeof(diz_file));
  v.mxPathname = real->mxPathname;
  v.zName = nameCopy;
  v.xOpen = shimOpen;
  v.xDelete = shimDelete;
  v.xAccess = shimAccess;
  v.xFullPathname = shimFullPathname;
  v.xDlOpen = real->xDlOpen ? shimDlOpen : nullptr;
  v.xDlError = real->xDlError ? shimDlError : nullptr;
  v.xDlSym = real->xDlSym ? shimDlSym : nullptr;
  v.xDlClose = real->xDlClose ? shimDlClose : nullptr;
  v.xRandomness = shimRandomness;
  v.xSleep = shimSleep;
  v.xCurrentTime = shimCurrentTime;
  v.xGetLastError = real->xGetLastError ? shimGetLastError : nullptr;
  if (real->iVersion >= 2) v.xCurrentTimeInt64 = real->xCurrentTimeInt64 ? shimCurrentTimeInt64 : nullptr;
  if (real->iVersion >= 3) {
    v.xSetSystemCall = real->xSetSystemCall ? shimSetSystemCall : nullptr;
    v.xGetSystemCall = real->xGetSystemCall ? shimGetSystemCall : nullptr;
    v.xNextSystemCall = real->xNextSystemCall ? shimNextSystemCall : nullptr;
  }

  const int rc = sqlite3_vfs_register(&shim->base, 0);
  if (rc != SQLITE_OK) {
    destroy(shim);
    return rc;
  }
  *out = shim;
  return SQLITE_OK;
}

int diz_vfs_shim_unregister(diz_vfs** shim) {
  if (!shim || !*shim) return SQLITE_MISUSE;
  const int rc = sqlite3_vfs_unregister(&(*shim)->base);
  destroy(*shim);
  *shim = nullptr;
  return rc;
}

diz_file* diz_vfs_shim_last_opened_wal(diz_vfs* shim) {
  if (!shim) return nullptr;
  platform::MutexLock lock(shim->mutex);
  return shim->last_opened_wal;
}

void diz_vfs_shim_set_fault_hook(diz_vfs* shim, diz_io_fault_hook hook, void* context) {
  if (!shim) return;
  platform::MutexLock lock(shim->mutex);
  shim->fault_hook = hook;
  shim->fault_context = context;
  shim->has_fault_hook.store(hook != nullptr, std::memory_order_release);
}
