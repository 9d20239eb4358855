// The engine's start and end for a program: the data-access layer's sessions and database
// components over the storage engine's process-wide state.
//
// StartEngine, in this order: the storage engine's state (the database list with MEMORY
// and TEMP, the session component manager, the design-time flag cleared), the expression
// factory the storage engine makes its default expressions with, the statement layer's
// subquery factory (so subqueries in expressions run), then the session list
// and the session "Default". StopEngine frees the session list (the default session; the
// others are deactivated and unlisted for their owners to free), then the storage state.
// A second start or stop does nothing; a stop then a start gives a fresh engine. Nothing
// here runs before main.
#pragma once

#include "engine/access/ORQBLOBStream.h"
#include "engine/access/ORQDataSet.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/access/ORQSessions.h"

namespace orq {

void StartEngine();
void StopEngine();
bool EngineStarted();

}  // namespace orq
