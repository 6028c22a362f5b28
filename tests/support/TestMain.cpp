// The main of every test program that needs nothing before its tests but the private world.
#include "support/TestEnv.h"

int main(int argc, char** argv) { return tvrn::test::runTests(argc, argv); }
