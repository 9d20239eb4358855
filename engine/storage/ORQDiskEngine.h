// The disk engine: the database file with its byte locks and share modes, and the disk
// page manager with the database header.
#pragma once

#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQSecurity.h"
