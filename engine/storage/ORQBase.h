// The storage engine's shared base: the definitions every engine, cursor and manager
// works from (fields, indexes, constraints and their collections, the name rule), and
// the abstract cursor and session.
#pragma once

#include "engine/storage/ORQDefinitions.h"
#include "engine/storage/ORQCursor.h"
