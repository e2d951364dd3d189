// Stand-in administration: checking a note's signature (nsf_sign.h), for
// tools and tests.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

// Checks the "$Signature" of a note open in memory against its items as
// they are now. NOERROR when the digest matches; ERR_SIGNATURE_MISMATCH when
// the note changed since it was signed; ERR_NOTE_NOT_SIGNED when it has no
// "$Signature"; ERR_SIGNATURE_DAMAGED when the item does not hold the
// layout of nsf_sign.h; the handle statuses. For a match and a mismatch
// alike the signer goes to retSigner (NUL-terminated, cut to
// SignerLength - 1 bytes; may be null when SignerLength is 0) and the time
// of signing to *retWhen (may be null); otherwise retSigner holds "".
STATUS StandinNoteVerifySignature(NOTEHANDLE hNote, char *retSigner, WORD SignerLength,
                                  TIMEDATE *retWhen);

NOTES_EXTERN_C_END
