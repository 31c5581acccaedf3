// OscillatoryPopulations::restore over arbitrary bytes. A restore either
// throws one of its "experiment: " errors (or the gain check's
// InvalidPhaseModulation), or leaves a model whose snapshot is stable
// across a further restore. A restored model whose clock is consistent (the
// next sample at most one interval ahead) is then run on for 20 ms; engine
// exceptions are allowed there, crashes, hangs and undefined behaviour are
// not.

#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/errors.hpp"
#include "engine/testing/oscillatory_populations.hpp"
#include "fixtures.hpp"
#include "fuzz_support.hpp"

using namespace Core::Kvrn;
using Core::Kvrn::Testing::OscillatoryPopulations;

namespace {

constexpr std::size_t kNeuronBlockEnd = 2640;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = Fuzz::input(data, size);

    OscillatoryPopulations model(Fuzz::kModelModulation);
    model.reset(Fuzz::kModelSeed);
    try {
        model.restore(bytes);
    } catch (const InvalidPhaseModulation&) {
        return 0;
    } catch (const std::runtime_error& e) {
        Fuzz::require(std::string(e.what()).rfind("experiment: ", 0) == 0,
                      "restore error without its prefix");
        return 0;
    }

    const Fuzz::Bytes first = model.snapshot();
    Fuzz::require(first.size() >= kNeuronBlockEnd, "snapshot too short");
    OscillatoryPopulations again(Fuzz::kModelModulation);
    again.reset(Fuzz::kModelSeed);
    again.restore(first);
    Fuzz::require(again.snapshot() == first, "snapshot is not stable across restore");

    const ModelTime now = model.now();
    if (model.nextSample() <= now || model.nextSample() - now > Testing::kSampleInterval ||
        now > INT64_MAX - 20'000'000)
        return 0;
    try {
        model.advanceTo(now + 20'000'000);
        (void)model.trajectory();
    } catch (const std::exception&) {
        // Engine exceptions on an odd but accepted state are fine.
    }
    return 0;
}
