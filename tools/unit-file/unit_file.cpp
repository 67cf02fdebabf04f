// vc-unit-file PROGRAM OUTPUT: writes the unit that "vornclient -install"
// would write for PROGRAM into the file OUTPUT.
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/posix/systemd_unit.h"
#include "support/service_names.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PROGRAM OUTPUT\n", argv[0]);
        return 2;
    }
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    out << platform::unitFileText(kServiceDisplayNameNarrow, argv[1]);
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
