// Memory handles.
//
// A memory object is a block of bytes behind a 32-bit handle. Lock it to get
// its address, unlock it when done, free it when no longer needed. Handles of
// every kind (memory, database, note, queue, collection, agent) come from one
// registry: a closed, unknown or wrong-kind handle gives a status or a null
// result, never a crash.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Block types of OSMemAlloc; the stand-in records them but treats all alike.
#define BLK_MEM_ALLOC 0x0001
#define MEM_SHARE 0x8000
#define MEM_GROWABLE 0x4000

// Allocates dwSize bytes, zero-filled. ERR_MEMORY when the size cannot be
// had (sizes above 1 GiB are refused as such), ERR_BAD_PARAM for a null
// retHandle.
STATUS LNPUBLIC OSMemAlloc(WORD BlkType, DWORD dwSize, DHANDLE far *retHandle);

// Resizes the object, keeping its bytes (new bytes are zero). The object must
// not be locked: ERR_HANDLE_LOCKED otherwise, since the address would move.
STATUS LNPUBLIC OSMemRealloc(DHANDLE Handle, DWORD NewSize);

// The object's size in bytes.
STATUS LNPUBLIC OSMemGetSize(DHANDLE Handle, DWORD far *retSize);

// Locks the object and returns its address; locks nest. A handle that is not
// an open memory object gives NULL.
void far *LNPUBLIC OSLockObject(DHANDLE Handle);

// Undoes one lock; FALSE when the object was not locked or is not a memory
// object.
BOOL LNPUBLIC OSUnlockObject(DHANDLE Handle);

// Frees the object, also while locked (the address then dies with it).
// ERR_INVALID_HANDLE for an unknown or already freed handle,
// ERR_WRONG_HANDLE_KIND for a handle of another kind, and ERR_BAD_PARAM for
// a block that belongs to an open note (it dies with the note).
STATUS LNPUBLIC OSMemFree(DHANDLE Handle);

// A block inside a memory object: its address is the object's address plus
// the block offset.
#define OSLockBlock(type, blockid) \
    ((type far *)(((char far *)OSLockObject((blockid).pool)) + (blockid).block))
#define OSUnlockBlock(blockid) OSUnlockObject((blockid).pool)

NOTES_EXTERN_C_END
