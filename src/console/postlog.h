// The post-install log "/flash/postlog": every message of the run, written
// at the end of the install modes.
#pragma once

#include "console/run_output.h"
#include "txn/manifest.h"

namespace installer {

// Reads the old log into `messages` and reserves 4096 bytes for the new one.
void preloadPostlog(RunOutput& output);
void writePostlog(RunOutput& output);
// What preloadPostlog would take on the flash, noted in a planning manifest
// instead of done.
void planPostlogPreload(Manifest& m);

}  // namespace installer
