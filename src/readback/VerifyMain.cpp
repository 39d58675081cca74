#include "readback/Verify.h"

// JV_PROGRAM: the program's name, from the build (jorvane-verify or jorvane-verify-sim).
int main(int argc, char** argv) { return jv::VerifyMain(argc, argv, JV_PROGRAM); }
