#include "readback/Backup.h"

int main(int argc, char** argv) { return jv::BackupMain(argc, argv); }
