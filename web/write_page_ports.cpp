// Writes the page's ondrilux_ports.js at build time: the plugins' control
// ports as the page takes them, [symbol, port index, minimum, maximum,
// default], and the version its About shows, so that the page holds no copy.
// Usage: write_page_ports OUTPUT.js
#include "plugins/controls/control_ports.h"
#include "version.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_page_ports OUTPUT.js\n");
        return 2;
    }
    std::FILE *out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out,
                 "'use strict';\n// Written at build time from the plugins' table of controls.\n"
                 "const VERSION = '%s';\nconst PORTS = [\n",
                 kOndriluxVersion);
    for (const ControlPort &c : kControlPorts)
        std::fprintf(out, "  ['%s', %u, %d, %d, %d],\n", c.symbol, static_cast<unsigned>(c.index),
                     c.range.min, c.range.max, c.range.initial);
    std::fprintf(out, "];\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
