// Telling whoever started the agent that it serves now: the shell that
// launched a daemon, and systemd for a Type=notify unit. Until then neither
// may take the start for a success.
#pragma once

// In the process that launched a daemon: blocks until the detached agent
// reports; false when it failed or died before listening.
bool waitForDetachedReadiness(int readDescriptor);

// In the detached agent: the pipe end on which to report.
void setReadinessPipe(int writeDescriptor);

// Once the agent listens. A failed start reports nothing: the launching shell
// sees the pipe close when the agent exits, systemd sees the exit.
void reportReadiness();
