// Step 5 of the update worker: installing the game client when it is missing.
#include "update/downSpy.h"

namespace tw {

void TDownSpy::InstallClient() {}

void TDownSpy::GetWowFiles() {}

void TDownSpy::RunAria2() {}

void TDownSpy::CheckWowFiles() {}

void TDownSpy::DeployWow() {}

} // namespace tw
