// Schedule tokens from arbitrary bytes: a token is refused with a reason, or decoded into one
// that encodes to a token decoding to the same schedule.
#include <sched/explore.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<sched::Token> token = sched::decodeToken(text, error);
    if (!token) {
        if (error.empty()) std::abort();
        return 0;
    }
    const std::string encoded = sched::encodeToken(*token);
    const std::optional<sched::Token> again = sched::decodeToken(encoded, error);
    if (!again || again->cpus != token->cpus || again->contract != token->contract ||
        again->deviations != token->deviations) {
        std::fprintf(stderr, "'%s' encodes to '%s', which decodes otherwise\n", text.c_str(),
                     encoded.c_str());
        std::abort();
    }
    return 0;
}
