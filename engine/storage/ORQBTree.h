// The B+ tree of the storage engines: key paths and key references, B-tree pages with
// their leaf and inner-page controllers, the page-number indexes of disk tables and the
// record index of every table index.
#pragma once

#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQBTreePage.h"
#include "engine/storage/ORQBTreePageIndex.h"
#include "engine/storage/ORQBTreeRecordIndex.h"
#include "engine/storage/ORQKeyRef.h"
