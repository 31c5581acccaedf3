// OscillatorBank::restore over arbitrary bytes. The bank keeps its own
// definitions, so an accepted snapshot must be reproduced byte for byte; a
// refusal changes nothing; phases stay in [0, 2pi] after any accepted shift.

#include <cmath>
#include <cstring>

#include "common/byte_io.hpp"
#include "engine/oscillators.hpp"
#include "fixtures.hpp"
#include "fuzz_support.hpp"

using namespace Core::Kvrn;

namespace {

// An independent reading of the format against `bank`.
bool wellFormed(std::span<const std::uint8_t> bytes, const OscillatorBank& bank, const Fuzz::Bytes& own) {
    Core::ByteReader in(bytes);
    if (!in.match("KVRNOSC2")) return false;
    const std::uint64_t count = in.u64();
    const std::int64_t step = in.i64();
    const std::uint64_t carried = in.u64();
    const std::uint8_t flag = in.u8();
    if (!in.ok() || count != bank.size() || flag > 1) return false;
    // The definitions must match the bank's own bytes field for field (a NaN
    // never matches; -0 matches +0).
    Core::ByteReader mine(own);
    mine.raw(33);
    for (std::uint64_t i = 0; i < count; ++i) {
        if (in.u32() != mine.u32()) return false;
        for (int field = 0; field < 3; ++field)
            if (!(in.f64() == mine.f64())) return false;
        mine.f64();
        if (!std::isfinite(in.f64())) return false;
    }
    if (!in.finished() || step != 0) return false;
    (void)carried;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = Fuzz::input(data, size);

    OscillatorBank bank = Fuzz::fixtureBank();
    bank.shiftPhase(2, 1.0);
    const Fuzz::Bytes before = bank.snapshot();

    const bool expected = wellFormed(bytes, bank, before);
    const bool accepted = bank.restore(bytes);
    Fuzz::require(accepted == expected, "restore disagrees with the format");
    if (!accepted) {
        Fuzz::require(bank.snapshot() == before, "a refused restore changed the bank");
        return 0;
    }

    // Definitions equal up to the sign of a zero, so compare with the
    // bank's own definition bytes put back in.
    Fuzz::Bytes expectedBytes(bytes.begin(), bytes.end());
    for (std::size_t i = 0; i < bank.size(); ++i)
        std::memcpy(expectedBytes.data() + 33 + 36 * i, before.data() + 33 + 36 * i, 28);
    Fuzz::require(bank.snapshot() == expectedBytes, "an accepted snapshot is not reproduced");

    for (const std::uint32_t id : {7u, 2u, 9u}) {
        for (const ModelTime t :
             {kTimeBeforeAll, ModelTime{-1'500'000'000}, ModelTime{0}, ModelTime{25'000'000},
              ModelTime{1'000'000'000'000'000'000}, ModelTime{INT64_MAX}}) {
            const double phase = bank.phaseAt(id, t);
            Fuzz::require(phase >= 0.0 && phase <= kTwoPi, "phase outside [0, 2pi]");
        }
    }
    return 0;
}
