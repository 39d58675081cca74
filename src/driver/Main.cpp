#include "driver/Program.h"

// JV_PROGRAM: the program's name, from the build (jorvane or jorvane-sim).
int main(int argc, char** argv) { return jv::ProgramMain(argc, argv, JV_PROGRAM); }
