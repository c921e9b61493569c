// The composition root of the Pomrel program.
#pragma once

namespace pomrel::qt {

// Runs Pomrel: makes the application and the backends (those of the
// simulated machine named by POMREL_MACHINE when it is set, otherwise those of
// the Linux host, each from its module in the bundle's PlugIns folder),
// creates the controller, loads the main
// interface resource from the bundle and connects it, delivers
// applicationDidFinishLaunching once the event loop runs, runs the loop until
// the application quits (Quit, SIGINT or SIGTERM), delivers
// applicationWillTerminate, and destroys the controller before the backends.
// The command line is read before anything needs a display: --help (or -h)
// prints the usage, under the program's name as typed, and the backend it
// would use; --version prints the version; both to standard output, and
// return 0. Anything else on the command line prints the usage to standard
// error and returns 64. Returns the process's exit status: 1, with a message
// on standard error, when the bundle is incomplete.
int NSApplicationMain(int argc, char** argv);

}  // namespace pomrel::qt
