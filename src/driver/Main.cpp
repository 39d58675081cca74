#include "driver/Program.h"

int main(int argc, char** argv) { return jv::ProgramMain(argc, argv); }
