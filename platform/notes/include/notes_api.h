// The calls of the Notes/Domino API that this system uses. The system's own
// code includes this header only; built against the platform itself, this
// header would include the platform's headers instead.
#pragma once

#include "global.h"
#include "addin.h"
#include "agents.h"
#include "dname.h"
#include "mq.h"
#include "names.h"
#include "nif.h"
#include "nsf_db.h"
#include "nsf_formula.h"
#include "nsf_note.h"
#include "nsf_profile.h"
#include "ooo.h"
#include "os_env.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_runtime.h"
#include "os_text.h"
#include "os_time.h"
#include "textlist.h"
