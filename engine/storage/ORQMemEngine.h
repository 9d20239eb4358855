// The in-memory engine: its page store (TORQMemoryPageManager).
#pragma once

#include "engine/storage/ORQMemPageManager.h"
