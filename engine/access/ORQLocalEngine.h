// The local engine: the concrete session (and, beside it, the concrete cursor) through
// which the data-access layer reaches the storage engines of this process.
#pragma once

#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalSession.h"
