#include "runtime/Exceptions.h"

void Abort() {
  throw EAbort();
}
