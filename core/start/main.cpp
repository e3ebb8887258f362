// The korvane executable.
#include "core/start/threads.h"

int main(int argc, char** argv) { return korvaneMain(argc, argv); }
