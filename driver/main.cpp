// Dorvane: fetches a database backup from the backup service and stores it
// as a time-stamped file, or writes its configuration file.
#include "driver/Dorvane.h"

int main(int argc, char* argv[]) { return Dorvane::Main(argc, argv); }
