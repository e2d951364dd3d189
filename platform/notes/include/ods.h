// On-disk structures: fixed records as items hold them, and their form in
// memory.
//
// An item value of a record type is the record's on-disk form: its members
// one after the other, without padding, little-endian. ODSWriteMemory turns
// a structure in memory into that form, ODSReadMemory back, ODSLength tells
// its size. One type is known:
//
// _ASSISTANT_INFO (318), the assistant-information record of an agent (the
// "$AssistInfo" item, data type TYPE_ASSISTANT_INFO: the type word, then
// this record), 64 bytes on disk:
//
//   offset  size  member
//   0       2     WORD      Version        the record's version
//   2       2     WORD      Trigger        when the agent runs
//   4       2     WORD      Search         which documents it acts on
//   6       2     WORD      IntervalType   the unit of its run interval
//   8       4     DWORD     Interval       its run interval, in that unit
//   12      8     TIMEDATE  StartTime      from when it runs
//   20      8     TIMEDATE  EndTime        until when it runs
//   28      8     TIMEDATE  LastRun        when it ran last
//   36      4     DWORD     RunCount       how often it ran
//   40      24    BYTE[24]  Reserved       kept as they are
//
// The stand-in runs no agent: it reads none of these members, and every
// byte of a record comes back the same through ODSReadMemory and
// ODSWriteMemory. The worker raises Version from 1 to 2 when it enables an
// agent.
//
// Fault points (standin/fault.h): each call under its own name; an armed
// rule makes ODSLength give 0.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define _ASSISTANT_INFO 318

struct ASSISTANT_INFO {
    WORD Version;
    WORD Trigger;
    WORD Search;
    WORD IntervalType;
    DWORD Interval;
    TIMEDATE StartTime;
    TIMEDATE EndTime;
    TIMEDATE LastRun;
    DWORD RunCount;
    BYTE Reserved[24];
};

// The size in bytes of a record of that type on disk; 0 for a type that is
// not known.
WORD LNPUBLIC ODSLength(WORD type);

// Writes Iterations structures of that type (an array at pSrc) in their
// on-disk form at *ppDest and advances *ppDest past them. The caller gives
// room for Iterations * ODSLength(type) bytes. ERR_ODS_UNKNOWN_TYPE for a
// type that is not known (nothing written); ERR_BAD_PARAM for a null
// pointer when Iterations is not 0.
STATUS LNPUBLIC ODSWriteMemory(void far *far *ppDest, WORD type, const void far *pSrc,
                               WORD Iterations);

// Reads Iterations records of that type from their on-disk form at *ppSrc
// into an array of structures at pDest and advances *ppSrc past them. The
// same statuses.
STATUS LNPUBLIC ODSReadMemory(const void far *far *ppSrc, WORD type, void far *pDest,
                              WORD Iterations);

NOTES_EXTERN_C_END
