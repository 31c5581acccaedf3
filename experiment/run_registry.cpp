#include "experiment/run_registry.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// True when `line`, blanks at either end aside, is one whole JSON object:
// it opens with "{" and its braces, counted outside strings, close at its
// last byte. Every line the writer finishes is one; no proper beginning of
// one is.
bool isWholeObject(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] != '{') return false;
    line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            return i + 1 == line.size();
        }
    }
    return false;
}

// The non-empty lines of the index, in file order; none when it cannot be
// opened. A last line without its line feed that is not a whole object is
// left out: it is the part of an append that a killed writer got onto disk
// (the kernel may stop a write at a page boundary), never a line the writer
// finished, and the next write removes it. A finished last line that only
// lacks its line feed is read as before.
std::vector<std::string> readIndexLines(const fs::path& index) {
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
    if (!text.empty() && text.back() != '\n' && !isWholeObject(lines.back())) lines.pop_back();
    return lines;
}

// The index opened for appending, each line with one write call.
//
// Opening it removes a partial last line left by a writer killed in the
// middle of an append (exactly what readIndexLines leaves out, so readers see
// the same entries before and after), and when the last line is whole but
// lacks its line feed, the first appended line starts with one, so that a
// new line never continues an old one.
class IndexAppender {
  public:
    explicit IndexAppender(const fs::path& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666)) {
        if (fd_ < 0) throw InvalidExperiment(kIndexUnwritable);
        try {
            dropPartialLastLine();
        } catch (...) {
            ::close(fd_);
            throw;
        }
    }
    IndexAppender(const IndexAppender&) = delete;
    IndexAppender& operator=(const IndexAppender&) = delete;
    ~IndexAppender() { ::close(fd_); }

    // A single write() puts the line on disk unless the kernel cuts it short
    // (a full disk, or a kill at a page boundary); the loop finishes a short
    // write while the process lives.
    void append(std::string line) {
        if (separate_) line.insert(line.begin(), '\n');
        separate_ = false;
        std::string_view rest = line;
        while (!rest.empty()) {
            const ssize_t written = ::write(fd_, rest.data(), rest.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) throw InvalidExperiment(kIndexUnwritable);
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
    }

  private:
    void dropPartialLastLine() {
        struct stat status {};
        if (::fstat(fd_, &status) != 0) throw InvalidExperiment(kIndexUnwritable);
        // Read backwards block by block until a line feed: the last line and
        // the offset it starts at.
        off_t start = status.st_size;
        std::string last;
        while (start > 0) {
            const off_t length = std::min<off_t>(start, 4096);
            std::string block(static_cast<std::size_t>(length), '\0');
            readAt(block, start - length);
            const std::size_t feed = block.rfind('\n');
            if (feed == block.size() - 1 && last.empty()) return;  // ends with a line feed
            if (feed != std::string::npos) {
                last.insert(0, block, feed + 1);
                start -= length - static_cast<off_t>(feed + 1);
                break;
            }
            last.insert(0, block);
            start -= length;
        }
        if (last.empty()) return;
        if (isWholeObject(last))
            separate_ = true;
        else if (::ftruncate(fd_, start) != 0)
            throw InvalidExperiment(kIndexUnwritable);
    }

    void readAt(std::string& block, off_t offset) const {
        std::size_t done = 0;
        while (done < block.size()) {
            const ssize_t got =
                ::pread(fd_, block.data() + done, block.size() - done, offset + static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) throw InvalidExperiment(kIndexUnwritable);
            done += static_cast<std::size_t>(got);
        }
    }

    int fd_;
    bool separate_ = false;  // the last line is whole but has no line feed yet
};

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
    IndexAppender index(root_ / kIndexName);

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

        // Only after the run's files are complete: an index line names a
        // finished run.
        index.append(indexLine(result, run));
    }
    return written;
}

std::vector<std::string> RunRegistry::indexLines() const { return readIndexLines(root_ / kIndexName); }

std::vector<RegistryEntry> RunRegistry::readIndex() const {
    std::vector<RegistryEntry> entries;
    for (const std::string& line : indexLines()) entries.push_back(parseEntry(line));
    return entries;
}

std::vector<RegistryEntry> RunRegistry::loadEntries() const {
    // Every identity is read before any metrics, so a malformed identity
    // is reported ahead of a malformed metric value.
    const std::vector<std::string> lines = indexLines();
    std::vector<RegistryEntry> entries;
    for (const std::string& line : lines) entries.push_back(parseEntry(line));
    for (std::size_t i = 0; i < lines.size(); ++i) entries[i].metrics = parseMetrics(lines[i]);
    return entries;
}

}  // namespace Core::Kvrn
