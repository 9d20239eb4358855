// The constraint manager lives in ORQConstraints.h; this name stays for its includers.
#pragma once

#include "engine/storage/ORQConstraints.h"
