#include "experiment/run_registry.hpp"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <utility>

#include "common/convert.hpp"
#include "common/format.hpp"

namespace Core::Kvrn {

namespace {

namespace fs = std::filesystem;

const char* const kNoRoot = "the run registry needs a root directory";
const char* const kIndexUnwritable = "cannot write the run registry index";
const char* const kFileUnwritable = "cannot write ";
const char* const kIndexName = "registry.jsonl";
const std::string_view kMetricsOpening = "\"metrics\":{";

// A JSON string: the escaped text between double quotes.
std::string quoted(const std::string& text) {
    std::string out(1, '"');
    out += jsonEscape(text);
    out += '"';
    return out;
}

// Members of a one-line JSON object, written in call order without white
// space: "key":"escaped" for strings, "key":raw for numbers and booleans.
class JsonObject {
  public:
    JsonObject& text(std::string_view key, const std::string& value) {
        member(key) += quoted(value);
        return *this;
    }
    JsonObject& raw(std::string_view key, const std::string& value) {
        member(key) += value;
        return *this;
    }
    JsonObject& flag(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
    std::string close() const { return body_ + "}"; }

  private:
    std::string& member(std::string_view key) {
        body_ += body_.size() > 1 ? "," : "";
        body_ += "\"";
        body_ += key;
        body_ += "\":";
        return body_;
    }
    std::string body_ = "{";
};

std::string parametersObject(const std::map<std::string, std::string>& parameters) {
    std::string text = "{";
    for (const auto& [key, value] : parameters) {
        if (text.size() > 1) text += ',';
        text += quoted(key);
        text += ':';
        text += quoted(value);
    }
    return text + "}";
}

// The run's values of the result's declared metrics, in declared order, as
// the members of a JSON object (without braces).
std::string metricEntries(const ExperimentResult& result, const RunRecord& run) {
    std::string text;
    for (const std::string& name : result.metrics) {
        const auto found = run.metrics.find(name);
        if (found == run.metrics.end()) continue;
        if (!text.empty()) text += ',';
        text += quoted(name);
        text += ':';
        text += formatFull(found->second);
    }
    return text;
}

std::string indexLine(const ExperimentResult& result, const RunRecord& run) {
    std::string line = metadataLine(run);
    line.pop_back();
    return line + "," + std::string(kMetricsOpening) + metricEntries(result, run) + "}}\n";
}

std::string metricsJson(const ExperimentResult& result, const RunRecord& run) {
    std::string object = JsonObject()
                             .text("branch", run.branch)
                             .flag("valid", run.valid)
                             .text("status", outcomeName(result.outcome))
                             .close();
    object.pop_back();
    return object + "," + std::string(kMetricsOpening) + metricEntries(result, run) + "}}\n";
}

std::string eventsCsv(const std::vector<SpikeRecord>& spikes) {
    std::string text = "time_ns,neuron,group,cause\n";
    for (const SpikeRecord& spike : spikes) {
        text += std::to_string(spike.time_ns) + "," + std::to_string(spike.neuron) + "," +
                std::to_string(spike.group) + "," +
                (spike.cause ? std::to_string(*spike.cause) : std::string("spontaneous")) + "\n";
    }
    return text;
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw InvalidExperiment(kFileUnwritable + path.string());
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) throw InvalidExperiment(kFileUnwritable + path.string());
}

// The non-empty lines of the index, in file order; none when it cannot be
// opened.
std::vector<std::string> indexLines(const fs::path& index) {
    std::ifstream in(index, std::ios::binary);
    if (!in) return {};
    std::ostringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The byte an escape stands for. The writer's escapes for control
// characters are undone so that such texts read back as written; any other
// escaped byte stands for itself.
char unescape(char c) {
    switch (c) {
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return c;
    }
}

// The value of member `key` in an index line: a string value with its
// escapes undone, or the raw text up to the next "," or "}". A missing key
// gives the empty text.
std::string field(const std::string& line, const std::string& key) {
    const std::string marker = quoted(key) + ":";
    std::size_t at = line.find(marker);
    if (at == std::string::npos) return {};
    at += marker.size();
    while (at < line.size() && line[at] == ' ') ++at;
    if (at < line.size() && line[at] == '"') {
        std::string value;
        for (++at; at < line.size() && line[at] != '"'; ++at) {
            char c = line[at];
            if (c == '\\' && at + 1 < line.size()) c = unescape(line[++at]);
            value += c;
        }
        return value;
    }
    const std::size_t end = line.find_first_of(",}", at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

RegistryEntry parseEntry(const std::string& line) {
    RegistryEntry entry;
    entry.experiment = field(line, "experiment");
    entry.branch = field(line, "branch");
    entry.point = field(line, "point");
    const std::string pointHash = field(line, "point_hash");
    entry.point_hash = pointHash.empty() ? 0 : toUnsigned64(pointHash);
    entry.hypothesis = field(line, "hypothesis");
    entry.theory_version = field(line, "theory_version");
    entry.engine_version = field(line, "engine_version");
    entry.metrics_version = field(line, "metrics_version");
    entry.config_hash = toUnsigned64(field(line, "config_hash"));
    entry.architecture_hash = toUnsigned64(field(line, "architecture_hash"));
    entry.seed = toUnsigned64(field(line, "seed"));
    entry.trials = toUnsigned64(field(line, "trials"));
    entry.duration_ns = toSigned64(field(line, "duration_ns"));
    entry.valid = field(line, "valid") == "true";
    return entry;
}

// A metric value as the standard string-to-double conversion reads it, with
// one widening: a value in the subnormal range is accepted. formatFull
// writes such a value with enough digits to read it back exactly, but the
// standard conversion reports every subnormal result as out of range, so a
// single tiny metric would make the whole index unreadable. Texts that the
// standard conversion reads are read exactly as before; a text that
// underflows to zero or overflows still throws.
double metricValue(const std::string& text) {
    try {
        return toDouble(text);
    } catch (const std::out_of_range&) {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end != text.c_str() && value != 0.0 && std::fabs(value) < std::numeric_limits<double>::min())
            return value;
        throw;
    }
}

// The members of the line's metrics object. Keys are taken verbatim; the
// scan stops at the first member that does not start with a quote.
std::map<std::string, double> parseMetrics(const std::string& line) {
    std::map<std::string, double> metrics;
    std::size_t at = line.find(kMetricsOpening);
    if (at == std::string::npos) return metrics;
    at += kMetricsOpening.size();
    while (at < line.size() && line[at] == '"') {
        const std::size_t keyEnd = line.find('"', at + 1);
        if (keyEnd == std::string::npos) break;
        const std::string key = line.substr(at + 1, keyEnd - at - 1);
        const std::size_t colon = line.find(':', keyEnd + 1);
        if (colon == std::string::npos) break;
        const std::size_t valueEnd = line.find_first_of(",}", colon + 1);
        const std::string value =
            line.substr(colon + 1, valueEnd == std::string::npos ? std::string::npos : valueEnd - colon - 1);
        metrics[key] = metricValue(value);
        if (valueEnd == std::string::npos || line[valueEnd] != ',') break;
        at = valueEnd + 1;
    }
    return metrics;
}

}  // namespace

std::string safePathComponent(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          c == '_' || c == '-';
        if (!kept) c = '_';
    }
    return safe.empty() ? "unnamed" : safe;
}

std::string jsonEscape(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '"':
                escaped += "\\\"";
                break;
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\r':
                escaped += "\\r";
                break;
            case '\t':
                escaped += "\\t";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string metadataLine(const RunRecord& run) {
    return JsonObject()
        .text("experiment", run.experiment)
        .text("branch", run.branch)
        .text("point", run.point)
        .raw("point_hash", std::to_string(run.point_hash))
        .text("hypothesis", run.hypothesis)
        .text("theory_version", run.theory_version)
        .text("engine_version", run.engine_version)
        .text("metrics_version", run.metrics_version)
        .raw("config_hash", std::to_string(run.config_hash))
        .raw("architecture_hash", std::to_string(run.architecture_hash))
        .raw("seed", std::to_string(run.seed))
        .raw("trials", std::to_string(run.trials))
        .raw("duration_ns", std::to_string(run.duration_ns))
        .flag("valid", run.valid)
        .raw("parameters", parametersObject(run.parameters))
        .close();
}

RunRegistry::RunRegistry(fs::path root) : root_(std::move(root)) {
    if (root_.empty()) throw InvalidExperiment(kNoRoot);
}

std::vector<fs::path> RunRegistry::write(const ExperimentResult& result) const {
    fs::create_directories(root_);
    std::ofstream index(root_ / kIndexName, std::ios::binary | std::ios::app);
    if (!index) throw InvalidExperiment(kIndexUnwritable);

    std::vector<fs::path> written;
    for (const RunRecord& run : result.runs) {
        fs::path dir = root_ / safePathComponent(result.experiment);
        if (!run.point.empty()) dir /= safePathComponent(run.point);
        dir /= safePathComponent(run.branch);
        fs::create_directories(dir);

        const std::pair<const char*, std::string> files[] = {
            {"metadata.json", metadataLine(run) + "\n"},   {"events.csv", eventsCsv(run.spikes)},
            {"states.csv", trajectoryCsv(run.trajectory)}, {"synapses.csv", run.synapse_log},
            {"metrics.json", metricsJson(result, run)},
        };
        for (const auto& [name, content] : files) {
            writeFile(dir / name, content);
            written.push_back(dir / name);
        }

        // One write per line, flushed at once, and only after the run's files
        // are complete: an interrupted writer leaves whole lines behind.
        const std::string line = indexLine(result, run);
        index.write(line.data(), static_cast<std::streamsize>(line.size()));
        index.flush();
        if (!index) throw InvalidExperiment(kIndexUnwritable);
    }
    return written;
}

std::vector<RegistryEntry> RunRegistry::readIndex() const {
    std::vector<RegistryEntry> entries;
    for (const std::string& line : indexLines(root_ / kIndexName)) entries.push_back(parseEntry(line));
    return entries;
}

std::vector<RegistryEntry> RunRegistry::loadEntries() const {
    // Every identity is read before any metrics, so a malformed identity
    // is reported ahead of a malformed metric value.
    const std::vector<std::string> lines = indexLines(root_ / kIndexName);
    std::vector<RegistryEntry> entries;
    for (const std::string& line : lines) entries.push_back(parseEntry(line));
    for (std::size_t i = 0; i < lines.size(); ++i) entries[i].metrics = parseMetrics(lines[i]);
    return entries;
}

}  // namespace Core::Kvrn
