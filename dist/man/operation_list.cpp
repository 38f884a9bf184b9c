// Prints the bit operations, by number and short name, as a troff list for the
// manual pages, so that the pages and the programs' --help read one table.
//   .IP 4 4
//   shift left by 2
#include "engine/operation_names.h"

#include <cstdio>

namespace {

// Text set as it reads: a backslash printed as one, a hyphen as \- (as the
// pages write every hyphen), and never read as a request at the start of a line.
void printEscaped(const char *text) {
    if (*text == '.' || *text == '\'')
        std::fputs("\\&", stdout);
    for (; *text; ++text) {
        if (*text == '\\')
            std::fputs("\\e", stdout);
        else if (*text == '-')
            std::fputs("\\-", stdout);
        else
            std::putchar(*text);
    }
}

} // namespace

int main() {
    // Indented under the option's paragraph, one line per operation.
    std::puts(".RS\n.PD 0");
    for (int32_t op = 1; op <= kOperationCount; ++op) {
        std::printf(".IP %d 4\n", op);
        printEscaped(operationName(op).shortName);
        std::putchar('\n');
    }
    std::puts(".PD\n.RE");
    return 0;
}
