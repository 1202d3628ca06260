#pragma once
// The name programs that embed the diagnostics library include for
// base/Conversions.h, where the unit lives with the plain C++ of the tree's bottom.
// Code of this tree includes base/Conversions.h.
#include "base/Conversions.h"
