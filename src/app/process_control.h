// Process control for the agent: detaching into the background and turning
// shutdown signals into an orderly stop on the main thread.
#pragma once

class VivoeMibServer;

// The one live server, or null. Written only by main; read by the shutdown
// handling so that a signal can stop the agent.
extern VivoeMibServer *activeServer;

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, before
// anything else takes their numbers: a pipe or socket given number 1 or 2
// would receive the console and log lines meant for standard output.
void ensureStandardDescriptors();

// Raises the soft limit of open descriptors to the hard one: each streaming
// channel holds several, and the usual soft limit (1,024) is far below what
// a profile of many channels needs.
void raiseDescriptorLimit();

// Double fork; returns only in the detached grandchild. The launching process
// waits for its readiness report and exits 0, or 1 when the start failed.
void daemonize();

// Installs signalHandler for SIGINT, SIGTERM and SIGHUP and ignores SIGPIPE.
// The shutdown steps run later on the event loop, so the application object
// must already exist.
void setupSignalHandlers();

// The installed handler: records the signal for the event loop, nothing more.
void signalHandler(int signalNumber);
