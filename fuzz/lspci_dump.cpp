// lspci output from arbitrary bytes (plain, verbose, -xxxx, broken by mail clients): the reader
// and the import either refuse it with messages naming the file or make a machine whose file the
// machine reader accepts.
#include "imported.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzzing::checkImport(formats::readSnapshotLspci(text, "lspci.txt"), "lspci.txt");
    return 0;
}
