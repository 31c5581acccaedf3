// RunRegistry::readIndex and loadEntries over an arbitrary index file.
// Malformed numbers may throw the standard conversion errors
// (std::invalid_argument, std::out_of_range); nothing else may escape. When
// both readers succeed they agree on every identity, and each non-empty line
// gives one entry, except that an unterminated last line may be left out
// (the remains of an interrupted append).

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "experiment/run_registry.hpp"
#include "fuzz_support.hpp"
#include "registry_root.hpp"

using namespace Core::Kvrn;

namespace {

bool sameIdentity(const RegistryEntry& a, const RegistryEntry& b) {
    return a.experiment == b.experiment && a.branch == b.branch && a.point == b.point &&
           a.point_hash == b.point_hash && a.hypothesis == b.hypothesis &&
           a.theory_version == b.theory_version && a.engine_version == b.engine_version &&
           a.metrics_version == b.metrics_version && a.config_hash == b.config_hash &&
           a.architecture_hash == b.architecture_hash && a.seed == b.seed && a.trials == b.trials &&
           a.duration_ns == b.duration_ns && a.valid == b.valid && a.parameters.empty() &&
           b.parameters.empty();
}

std::size_t nonEmptyLines(const std::uint8_t* data, std::size_t size) {
    std::size_t lines = 0;
    bool inLine = false;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            lines += inLine;
            inLine = false;
        } else {
            inLine = true;
        }
    }
    return lines + inLine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Fuzz::ScratchRoot scratch;
    {
        std::ofstream index(scratch.path() / "registry.jsonl", std::ios::binary | std::ios::trunc);
        index.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        Fuzz::require(static_cast<bool>(index), "cannot write the scratch index");
    }
    const RunRegistry registry(scratch.path());

    std::vector<RegistryEntry> identities;
    try {
        identities = registry.readIndex();
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
    const std::size_t lines = nonEmptyLines(data, size);
    const bool terminated = size == 0 || data[size - 1] == '\n';
    Fuzz::require(identities.size() == lines || (!terminated && identities.size() + 1 == lines),
                  "one entry per non-empty line");
    Fuzz::require(std::all_of(identities.begin(), identities.end(),
                              [](const RegistryEntry& e) { return e.metrics.empty(); }),
                  "readIndex filled metrics");

    std::vector<RegistryEntry> entries;
    try {
        entries = registry.loadEntries();
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::out_of_range&) {
        return 0;
    }
    Fuzz::require(entries.size() == identities.size(), "loadEntries and readIndex differ in length");
    for (std::size_t i = 0; i < entries.size(); ++i)
        Fuzz::require(sameIdentity(entries[i], identities[i]),
                      "loadEntries and readIndex differ in an identity");
    return 0;
}
