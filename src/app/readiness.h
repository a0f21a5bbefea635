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

// In a device of a fleet, forked from the fleet's parent: the one report goes
// to the parent on this descriptor; the descriptor inherited from a daemon's
// launch is closed, and systemd hears from the parent alone.
void reportReadinessTo(int writeDescriptor);

// In a fleet's parent whose devices did not all start: systemd learns that
// the fleet serves, the shell that launched it as a daemon that the start
// failed (exit status 1) although the others run.
void reportPartialReadiness();
