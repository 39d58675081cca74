#include "readback/Verify.h"

int main(int argc, char** argv) { return jv::VerifyMain(argc, argv); }
