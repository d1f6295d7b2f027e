// simulate --seeds N [--from S] [--sftp] [--trace | --wire]: runs the simulator
// over N seeds from S (with --sftp only those that draw SFTP), with a progress line every thousand; each failure is printed with
// its replay line and its shrunk row. Exit status 1 when any seed failed.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/simulator.h"

int main(int argc, char** argv) {
    unsigned long long seeds = 1000, from = 1;
    bool trace = false, wire = false, sftp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seeds" && i + 1 < argc)
            seeds = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--from" && i + 1 < argc)
            from = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--trace")
            trace = true;
        else if (a == "--wire")
            wire = true;
        else if (a == "--sftp")
            sftp = true;
        else {
            std::fprintf(stderr, "usage: simulate --seeds N [--from S] [--sftp] [--trace | --wire]\n");
            return 2;
        }
    }
    if (wire) {
        // The seed's dialogue with the program's times, as the pinned wire
        // records it.
        std::printf("%s", corvantel::sim::wire(from).c_str());
        return 0;
    }
    if (trace) {
        const auto sc = corvantel::sim::draw(from);
        std::printf("%s\n", corvantel::sim::row(sc).c_str());
        const auto broken = corvantel::sim::check(sc, true);
        for (auto& b : broken) std::printf("  %s\n", b.c_str());
        return broken.empty() ? 0 : 1;
    }
    const int failures = corvantel::sim::runSeeds(from, seeds, true, 1000000, sftp);
    std::printf("%llu seeds from %llu: %d failing\n", seeds, from, failures);
    return failures == 0 ? 0 : 1;
}
