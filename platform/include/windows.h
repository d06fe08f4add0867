/* Stand-in Windows SDK for POSIX builds: the subset of the Windows API that the product uses. */
#pragma once

#include "windef.h"
#include "winnt.h"
#include "winerror.h"
#include "winbase.h"
#include "securitybaseapi.h"
#include "processenv.h"
#include "fileapi.h"
#include "synchapi.h"
#include "processthreadsapi.h"
#include "wincon.h"
#include "winreg.h"
#include "eventlog.h"
#include "winsvc.h"
#include "winuser.h"
#include "shellapi.h"
