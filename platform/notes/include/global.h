// Basic types of the Notes/Domino stand-in library.
//
// The widths follow the 64-bit platform: WORD 16 bits, DWORD 32 bits,
// handles of databases, notes, memory, queues and collections are 32-bit
// values handed out by one registry; agent handles are 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __cplusplus
#define NOTES_EXTERN_C_BEGIN extern "C" {
#define NOTES_EXTERN_C_END }
#else
#define NOTES_EXTERN_C_BEGIN
#define NOTES_EXTERN_C_END
#endif

// Calling convention marker of the platform's exported calls; empty here.
#define LNPUBLIC
#define LNCALLBACK
#define far

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint64_t DWORDLONG;
typedef int32_t BOOL;
typedef uint16_t USHORT;
typedef double NUMBER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAXWORD 0xFFFFu
#define MAXDWORD 0xFFFFFFFFu

// Every call returns a 16-bit status; 0 is success. The low 14 bits select
// the error text; bit 0x8000 marks a status whose text was already shown,
// bit 0x4000 one that is remote (its text came from a server).
typedef WORD STATUS;
#define NOERROR 0
#define ERR_MASK 0x3FFF
#define STS_DISPLAYED 0x8000
#define STS_REMOTE 0x4000
#define ERR(status) ((STATUS)((status)&ERR_MASK))

typedef DWORD DHANDLE;
typedef DWORD HANDLE;
typedef DHANDLE MEMHANDLE;
typedef DHANDLE DBHANDLE;
typedef DHANDLE NOTEHANDLE;
typedef DHANDLE HCOLLECTION;
typedef DWORD MQHANDLE;
typedef DWORDLONG HAGENT;
#define NULLHANDLE ((DHANDLE)0)

// A loaded module. The same typedef stands in the Windows-call layer; both
// name the same type, so a file may include both.
typedef void *HMODULE;

typedef DWORD NOTEID;

// Date and time: word 0 is the time of day in hundredths of a second since
// midnight GMT; word 1 holds the Julian day number in its low 24 bits and
// the time zone and daylight-saving flag above (see os_time.h).
struct TIMEDATE {
    DWORD Innards[2];
};

// Universal note ID: the same in every replica of a database.
struct UNID {
    TIMEDATE File;
    TIMEDATE Note;
};

// Originator ID: the UNID with the note's sequence number and time, raised
// by every update.
struct OID {
    TIMEDATE File;
    TIMEDATE Note;
    DWORD Sequence;
    TIMEDATE SequenceTime;
};
typedef OID ORIGINATORID;

// A block of memory inside a pool: the pool is a memory handle, the block an
// offset into it, so OSLockBlock works on it (os_mem.h).
struct BLOCKID {
    DHANDLE pool;
    WORD block;
};
#define NULLBLOCK ((WORD)0)
#define ISNULLBLOCKID(b) ((b).pool == NULLHANDLE)

// Sizes of name and path buffers.
#define MAXUSERNAME 256
#define MAXPATH 256
#define MAXENVVALUE 256
