// Dorvane: fetches a database backup from the backup service and stores it
// as a time-stamped file, or writes its configuration file.
#include "driver/Dorvane.h"
#include "platform/Platform.h"

int main(int argc, char* argv[]) {
    // All of the program's text is UTF-8, its arguments included.
    os::Utf8Arguments(&argc, &argv);
    return Dorvane::Main(argc, argv);
}
