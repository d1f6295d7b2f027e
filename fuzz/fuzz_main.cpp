// One libFuzzer program per target; the target is chosen at build time.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvantel::fuzz::run(CORVANTEL_FUZZ_TARGET, data, size);
    return 0;
}
