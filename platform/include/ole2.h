/* Stand-in Windows SDK: COM and OLE automation basics. */
#pragma once

#include "objbase.h"
#include "oleauto.h"
