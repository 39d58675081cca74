#include "readback/Backup.h"

// JV_PROGRAM: the program's name, from the build (jorvane-backup or jorvane-backup-sim).
int main(int argc, char** argv) { return jv::BackupMain(argc, argv, JV_PROGRAM); }
