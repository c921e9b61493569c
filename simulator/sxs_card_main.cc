// sxs-card, and the stand-in diskutil, kextload and kextunload that are
// copies of it.
#include "simulator/tools.h"

int main(int argc, char** argv) { return pomrel::sim::multiCallMain(argc, argv); }
