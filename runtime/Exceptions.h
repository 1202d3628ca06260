#pragma once
// The name programs that embed the diagnostics library include for
// base/Exceptions.h, where the unit lives with the plain C++ of the tree's bottom.
// Code of this tree includes base/Exceptions.h.
#include "base/Exceptions.h"
