// Step 6 of the update worker: the game patches.
#include "update/downSpy.h"

namespace tw {

void TDownSpy::CheckPatches() {}

} // namespace tw
