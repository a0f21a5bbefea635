// Notifications this agent sends on its own account.
#pragma once

// coldStart to every sink of the configuration, naming this device's
// sysObjectID as enterprise; the library's own helpers would name theirs.
void sendColdStart();
