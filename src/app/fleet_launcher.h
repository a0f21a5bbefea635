// A fleet of devices from one command (--fleet FILE): one process per device,
// forked from a parent that has loaded the libraries once, so that their
// relocated data is shared instead of repeated in every device.
#pragma once

// Without --fleet among the arguments, returns at once. With it, this process
// becomes the fleet's parent: it reads the fleet file, forks one device per
// entry, supervises them and exits, never returning. Each device returns,
// with argc and argv replaced by its own command line and its profile in use,
// to take the run sequence a single agent takes. It must run before anything
// opens a descriptor or installs a handler (the application object, the
// signal pipe), or every device would share them.
void launchFleet(int &argc, char **&argv);
