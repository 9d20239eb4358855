// The disk engine: the database file with its byte locks and share modes, the disk page
// manager with the database header, page input and output and the commit bracket, the
// free-space map, the table pages cache, the internal files inside the database file, the
// system directory and the table catalog, the sessions and table-locks files with the table
// lock manager, the database object shared by a file's sessions, record pages with the disk
// record manager, the BLOB storage of disk tables, and the disk table data.
#pragma once

#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQDiskDatabase.h"
#include "engine/storage/ORQDiskPageManager.h"
#include "engine/storage/ORQFreeSpace.h"
#include "engine/storage/ORQCatalog.h"
#include "engine/storage/ORQInternalFiles.h"
#include "engine/storage/ORQSecurity.h"
#include "engine/storage/ORQTablePagesCache.h"
#include "engine/storage/ORQTableLocks.h"
#include "engine/storage/ORQRecordPages.h"
#include "engine/storage/ORQDiskBlobs.h"
#include "engine/storage/ORQDiskTable.h"
