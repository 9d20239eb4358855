// The abstract engine every storage engine derives from: the database and table data,
// the field, record, index and constraint managers, and the minimal table cursor.
#pragma once

#include "engine/storage/ORQBase.h"
#include "engine/storage/ORQConstraintManager.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQFieldManager.h"
#include "engine/storage/ORQIndexManager.h"
#include "engine/storage/ORQRecordManager.h"
#include "engine/storage/ORQTableData.h"
#include "engine/storage/ORQTableCursor.h"
#include "engine/storage/ORQConstraints.h"
