#include "experiment/run_registry.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/convert.hpp"
#include "common/format.hpp"
#include "common/hash.hpp"

namespace Core::Kvrn {

namespace {

namespace fs = std::filesystem;

const char* const kNoRoot = "the run registry needs a root directory";
const char* const kIndexUnwritable = "cannot write the run registry index";
const char* const kFileUnwritable = "cannot write ";
const char* const kIndexName = "registry.jsonl";
const char* const kControlsName = "controls.json";
// Scratch directories of staged writes start with this; no run directory
// does, since those never start with a dot.
constexpr std::string_view kScratchPrefix = ".incoming-";
const std::string_view kMetricsOpening = "\"metrics\":{";
// The member an index line carries only when its run is not stored at the
// fixed place root/E[/P]/B; it stands before the metrics.
const char* const kDirectoryKey = "run_dir";
// The files every stored run has, in writing order.
const char* const kRunFiles[] = {"metadata.json", "events.csv", "states.csv", "synapses.csv", "metrics.json"};

// "<what> <path>: <the system's reason>", from errno as the failing call left it.
std::string failure(const std::string& what, const fs::path& path) {
    const int code = errno;
    return what + path.string() + (code != 0 ? std::string(": ") + std::strerror(code) : std::string());
}

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

// Every matched-control check of a run, for a run that fell outside them.
std::string controlsJson(const RunRecord& run) {
    std::string checks;
    for (const ControlCheck& check : run.control_checks) {
        if (!checks.empty()) checks += ',';
        checks += JsonObject()
                      .text("statistic", controlStatisticName(check.statistic))
                      .raw("control_value", formatFull(check.control_value))
                      .raw("branch_value", formatFull(check.branch_value))
                      .raw("deviation", formatFull(check.deviation))
                      .raw("tolerance", formatFull(check.tolerance))
                      .flag("within", check.within)
                      .close();
    }
    return JsonObject()
               .text("branch", run.branch)
               .flag("valid", run.valid)
               .raw("controls", "[" + checks + "]")
               .close() +
           "\n";
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

// One line per spike, the numbers in decimal as std::to_string writes them,
// appended in place (a run has hundreds of spikes).
std::string eventsCsv(const std::vector<SpikeRecord>& spikes) {
    std::string text = "time_ns,neuron,group,cause\n";
    text.reserve(text.size() + spikes.size() * 40);
    char digits[24];
    const auto number = [&text, &digits](auto value) {
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    };
    for (const SpikeRecord& spike : spikes) {
        number(spike.time_ns);
        text += ',';
        number(spike.neuron);
        text += ',';
        number(spike.group);
        text += ',';
        if (spike.cause)
            number(*spike.cause);
        else
            text += "spontaneous";
        text += '\n';
    }
    return text;
}

// The whole content with one open, as few writes as the kernel allows, and
// one close: no stream buffer between the text and the file.
void writeFile(const fs::path& path, std::string_view content) {
    errno = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw InvalidExperiment(failure(kFileUnwritable, path));
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const int code = errno;
            ::close(fd);
            errno = code;
            throw InvalidExperiment(failure(kFileUnwritable, path));
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(fd) != 0) throw InvalidExperiment(failure(kFileUnwritable, path));
}

// The whole file, or nothing when it cannot be opened.
std::optional<std::string> readSmallFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
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
struct NumberedLine {
    std::uint64_t number = 0;  // 1-based
    std::string_view text;
};

// An index line kept beyond the reader's block.
struct OwnedLine {
    std::uint64_t number = 0;
    std::string text;
};

// Calls visit(line) for each non-empty line of the index in file order; no
// call when it cannot be opened. The file is read in blocks, so an index of
// any size costs one block and one line of memory here.
template <class Visit>
void forEachIndexLine(const fs::path& index, Visit&& visit) {
    const int fd = ::open(index.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    constexpr std::size_t kBlock = 1 << 16;
    std::string buffer;
    std::uint64_t number = 0;
    for (;;) {
        const std::size_t kept = buffer.size();
        buffer.resize(kept + kBlock);
        ssize_t got = 0;
        while ((got = ::read(fd, buffer.data() + kept, kBlock)) < 0 && errno == EINTR) {
        }
        buffer.resize(kept + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got <= 0) break;
        std::size_t start = 0;
        for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
            ++number;
            if (end > start) visit(NumberedLine{number, std::string_view(buffer).substr(start, end - start)});
        }
        buffer.erase(0, start);
    }
    if (!buffer.empty() && isWholeObject(buffer)) visit(NumberedLine{number + 1, buffer});
}

// The index opened for appending, each line with one write call.
//
// The appender holds an exclusive advisory lock on the index for its whole
// life, so writers in other processes wait until this one has finished its
// runs: a tail repair never cuts a line that another writer is appending,
// and the choice of a run's directory sees every run already stored. The
// lock goes with the descriptor, also when the process is killed.
//
// Opening it removes a partial last line left by a writer killed in the
// middle of an append (exactly what forEachIndexLine leaves out, so readers see
// the same entries before and after), and when the last line is whole but
// lacks its line feed, the first appended line starts with one, so that a
// new line never continues an old one.
class IndexAppender {
  public:
    explicit IndexAppender(const fs::path& path)
        : path_(path), fd_((errno = 0, ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666))) {
        if (fd_ < 0) throw InvalidExperiment(failure(std::string(kIndexUnwritable) + " ", path_));
        try {
            int locked = 0;
            while ((locked = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (locked != 0) fail();
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
            if (written <= 0) fail();
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
    }

  private:
    [[noreturn]] void fail() const {
        throw InvalidExperiment(failure(std::string(kIndexUnwritable) + " ", path_));
    }

    void dropPartialLastLine() {
        struct stat status {};
        if (::fstat(fd_, &status) != 0) fail();
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
            fail();
    }

    void readAt(std::string& block, off_t offset) const {
        std::size_t done = 0;
        while (done < block.size()) {
            const ssize_t got =
                ::pread(fd_, block.data() + done, block.size() - done, offset + static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) fail();
            done += static_cast<std::size_t>(got);
        }
    }

    fs::path path_;
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

// The fixed place of a run below the root: E[/P]/B, "/"-separated, built
// in one string (it is made for every index line read).
std::string fixedDirectory(const std::string& experiment, const std::string& point,
                           const std::string& branch) {
    std::string dir = safePathComponent(experiment);
    dir.reserve(experiment.size() + point.size() + branch.size() + 2);
    if (!point.empty()) {
        dir += '/';
        dir += safePathComponent(point);
    }
    dir += '/';
    dir += safePathComponent(branch);
    return dir;
}

// The part of an index line before its metrics: the run's identity and, for
// a run stored away from its fixed place, its directory.
std::string_view identityPart(std::string_view line) {
    return line.substr(0, std::min(line.find(kMetricsOpening), line.size()));
}

// Where the directory member starts in the identity part of an index line
// (at its comma), or npos. It follows the parameters object: that closing
// brace tells it from a parameter of the same name.
std::size_t directoryMember(std::string_view identity) {
    const std::string marker = "},\"" + std::string(kDirectoryKey) + "\":";
    const std::size_t at = identity.find(marker);
    return at == std::string_view::npos ? at : at + 1;
}

// The run directory an index line names, or the fixed one.
std::string entryDirectory(const std::string& line, const RegistryEntry& entry) {
    const std::string_view identity = identityPart(line);
    const std::size_t member = directoryMember(identity);
    const std::string named = member == std::string_view::npos
                                  ? std::string()
                                  : field(std::string(identity.substr(member)), kDirectoryKey);
    return named.empty() ? fixedDirectory(entry.experiment, entry.point, entry.branch) : named;
}

// parseEntry with its failures told as the field that does not read and its text.
RegistryEntry parseEntryNamingFields(const std::string& line) {
    if (!isWholeObject(line)) throw std::invalid_argument("not a JSON object");
    const auto number = [&line](const char* key, auto convert) {
        const std::string text = field(line, key);
        try {
            return convert(text);
        } catch (const std::exception&) {
            throw std::invalid_argument(std::string("\"") + key + "\" is " +
                                        (text.empty() ? std::string("missing or empty") : "'" + text + "'") +
                                        ", not a whole number");
        }
    };
    number("point_hash", [](const std::string& t) { return t.empty() ? 0 : toUnsigned64(t); });
    for (const char* key : {"config_hash", "architecture_hash", "seed", "trials"}) number(key, toUnsigned64);
    number("duration_ns", toSigned64);
    return parseEntry(line);
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
std::map<std::string, double> parseMetrics(const std::string& line);

// parseMetrics with a failure told as the metric whose value does not read.
std::map<std::string, double> parseMetricsNamingValue(const std::string& line) {
    try {
        return parseMetrics(line);
    } catch (const std::exception& error) {
        throw std::invalid_argument(std::string("a metric value does not read as a number (") + error.what() +
                                    ")");
    }
}

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

// metricValue for the texts the writer produces. A plain decimal number
// whose value is a normal double is converted by from_chars, which rounds
// exactly as strtod does; every other text is left to metricValue.
double plainMetricValue(const std::string& text) {
    const char* const first = text.data();
    const char* const last = first + text.size();
    const char* at = first + (text.size() > 0 && text[0] == '-');
    const auto digits = [&at, last] {
        const char* const start = at;
        while (at != last && *at >= '0' && *at <= '9') ++at;
        return at != start;
    };
    bool plain = digits();
    if (plain && at != last && *at == '.') {
        ++at;
        plain = digits();
    }
    if (plain && at != last && (*at == 'e' || *at == 'E')) {
        ++at;
        if (at != last && (*at == '-' || *at == '+')) ++at;
        plain = digits();
    }
    double value = 0;
    if (plain && at == last) {
        const auto [end, error] = std::from_chars(first, last, value);
        if (error == std::errc() && end == last && std::isnormal(value)) return value;
    }
    return metricValue(text);
}

// A cursor over one index line for the reading by member position.
class LineCursor {
  public:
    explicit LineCursor(std::string_view line) : line_(line) {}

    // `"name":` is next; it is passed over.
    bool key(std::string_view name) {
        if (line_.size() - at_ < name.size() + 3 || line_[at_] != '"' ||
            line_.compare(at_ + 1, name.size(), name) != 0 || line_[at_ + 1 + name.size()] != '"' ||
            line_[at_ + 2 + name.size()] != ':')
            return false;
        at_ += name.size() + 3;
        return true;
    }
    // `c` is next; it is passed over.
    bool next(char c) {
        if (at_ >= line_.size() || line_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool peek(char c) const { return at_ < line_.size() && line_[at_] == c; }
    // A string value, its escapes undone as field() undoes them.
    bool text(std::string& out) {
        if (!next('"')) return false;
        out.clear();
        for (;;) {
            const std::size_t stop = findEither('"', '\\');
            if (stop == std::string_view::npos || stop + 1 == line_.size()) return false;
            out.append(line_.substr(at_, stop - at_));
            at_ = stop + 1;
            if (line_[stop] == '"') return true;
            out += unescape(line_[at_++]);
        }
    }
    // A string value that has no escapes, as it stands.
    bool plainText(std::string_view& out) {
        if (!next('"')) return false;
        const std::size_t end = findEither('"', '\\');
        if (end == std::string_view::npos || line_[end] != '"') return false;
        out = line_.substr(at_, end - at_);
        at_ = end + 1;
        return true;
    }
    // The raw text of a number or a flag: up to the next "," or "}".
    bool raw(std::string& out) {
        const std::size_t end = findEither(',', '}');
        if (end == std::string_view::npos) return false;
        out.assign(line_.substr(at_, end - at_));
        at_ = end;
        return true;
    }
    // Only blanks are left.
    bool atEnd() const { return line_.find_first_not_of(" \t\r", at_) == std::string_view::npos; }

  private:
    // The first of two bytes from the cursor on (find_first_of would look
    // each byte up in the set with a library call).
    std::size_t findEither(char a, char b) const {
        for (std::size_t i = at_; i < line_.size(); ++i)
            if (line_[i] == a || line_[i] == b) return i;
        return std::string_view::npos;
    }

    std::string_view line_;
    std::size_t at_ = 0;
};

// Reads an index line in one pass by member position when it is laid out
// exactly as the writer lays lines out; false for any other line, which the
// member-by-member reading (field() and parseMetrics) then reads. On every
// line accepted here both readings give the same entry: the writer's layout
// puts each member the other reading looks for at its first occurrence, and
// both take the directory only after the parameters. The metrics are read
// when `withMetrics`.
bool readWriterLine(std::string_view line, RegistryEntry& entry, bool withMetrics) {
    LineCursor at(line);
    std::string number;
    const auto text = [&at](const char* key, std::string& out) { return at.key(key) && at.text(out); };
    const auto value = [&at, &number](const char* key, bool last = false) {
        return at.key(key) && at.raw(number) && (last || at.next(','));
    };
    try {
        if (!at.next('{') || !text("experiment", entry.experiment) || !at.next(',') ||
            !text("branch", entry.branch) || !at.next(',') || !text("point", entry.point) || !at.next(',') ||
            !value("point_hash"))
            return false;
        entry.point_hash = number.empty() ? 0 : toUnsigned64(number);
        if (!text("hypothesis", entry.hypothesis) || !at.next(',') ||
            !text("theory_version", entry.theory_version) || !at.next(',') ||
            !text("engine_version", entry.engine_version) || !at.next(',') ||
            !text("metrics_version", entry.metrics_version) || !at.next(',') || !value("config_hash"))
            return false;
        entry.config_hash = toUnsigned64(number);
        if (!value("architecture_hash")) return false;
        entry.architecture_hash = toUnsigned64(number);
        if (!value("seed")) return false;
        entry.seed = toUnsigned64(number);
        if (!value("trials")) return false;
        entry.trials = toUnsigned64(number);
        if (!value("duration_ns")) return false;
        entry.duration_ns = toSigned64(number);
        if (!value("valid")) return false;
        entry.valid = number == "true";

        // Parameters are not read back, only passed over.
        if (!at.key("parameters") || !at.next('{')) return false;
        std::string skipped;
        for (bool first = true; !at.next('}'); first = false) {
            if ((!first && !at.next(',')) || !at.text(skipped) || !at.next(':') || !at.text(skipped))
                return false;
        }
        if (!at.next(',')) return false;
        std::string named;
        if (at.peek('"') && at.key(kDirectoryKey) && (!at.text(named) || !at.next(','))) return false;
        entry.directory = named.empty() ? fixedDirectory(entry.experiment, entry.point, entry.branch) : named;

        if (!at.key("metrics") || !at.next('{')) return false;
        entry.metrics.clear();
        std::string_view metric;
        for (bool first = true; !at.next('}'); first = false) {
            if ((!first && !at.next(',')) || !at.plainText(metric) || !at.next(':') || !at.raw(number))
                return false;
            if (withMetrics) entry.metrics[std::string(metric)] = plainMetricValue(number);
        }
        return at.next('}') && at.atEnd();
    } catch (const std::exception&) {
        return false;  // the other reading tells what does not convert
    }
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

RunRegistry::RunRegistry(fs::path root)
    : root_(std::move(root)), staging_(std::make_shared<StagingArea>(root_)) {
    if (root_.empty()) throw InvalidExperiment(kNoRoot);
}

namespace {

// One run of a staged write, its files waiting in `dir`.
struct StagedRun {
    fs::path dir;            // in the registry's staging area
    std::string fixed;       // the run's fixed place, E[/P]/B
    std::string metadata;    // metadata.json, which is the run's identity
    std::string linePrefix;  // the index line up to where a "run_dir" member goes
    std::string lineSuffix;  // the rest of it: the metrics and the closing braces
    bool controls = false;   // controls.json was staged too
    bool committed = false;  // moved into its place
};

// True when the entry `name` of a registry root is a scratch directory.
bool isScratchName(std::string_view name) { return name.substr(0, kScratchPrefix.size()) == kScratchPrefix; }

// Creates a fresh scratch directory below `root` and locks it. A cleaner may
// remove a scratch directory between its creation and its lock; the lock
// then fails or holds a directory that is no longer at its path, and
// another one is made.
struct Scratch {
    fs::path path;
    int fd = -1;
};
Scratch makeScratch(const fs::path& root) {
    for (int attempt = 0;; ++attempt) {
        std::string path = (root / (std::string(kScratchPrefix) + "XXXXXX")).string();
        errno = 0;
        if (::mkdtemp(path.data()) == nullptr) throw InvalidExperiment(failure(kFileUnwritable, path));
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && (errno != ENOENT || attempt == 100))
            throw InvalidExperiment(failure(kFileUnwritable, path));
        if (fd < 0) continue;
        struct stat opened {};
        struct stat named {};
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 &&
            ::stat(path.c_str(), &named) == 0 && opened.st_ino == named.st_ino &&
            opened.st_dev == named.st_dev) {
            return {path, fd};
        }
        ::close(fd);
        if (attempt == 100) throw InvalidExperiment(failure(kFileUnwritable, path));
    }
}

}  // namespace

// The scratch directory in which a registry object and its copies stage
// runs. It is made with the first staged run and held with a shared lock
// while it lives, so that another writer can tell it from one that a killed
// process left behind (whose lock went with it); it goes with the last
// copy of the registry object and the last staged write from it.
class StagingArea {
  public:
    explicit StagingArea(fs::path root) : root_(std::move(root)) {}
    StagingArea(const StagingArea&) = delete;
    StagingArea& operator=(const StagingArea&) = delete;
    ~StagingArea() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
        if (fd_ >= 0) ::close(fd_);
    }

    // A fresh, empty directory for one staged run; any thread may ask.
    fs::path newRunDirectory() {
        fs::path dir;
        {
            const std::lock_guard lock(mutex_);
            if (path_.empty()) {
                const Scratch scratch = makeScratch(root_);
                path_ = scratch.path;
                fd_ = scratch.fd;
            }
            dir = path_ / std::to_string(next_++);
        }
        errno = 0;
        if (::mkdir(dir.c_str(), 0777) != 0) throw InvalidExperiment(failure(kFileUnwritable, dir));
        return dir;
    }

  private:
    std::mutex mutex_;
    const fs::path root_;
    fs::path path_;  // empty until the first run is staged
    int fd_ = -1;    // path_, locked
    std::uint64_t next_ = 0;
};

// Runs not committed are removed from the staging area with the write.
struct StagedWrite::Runs {
    std::shared_ptr<StagingArea> area;
    std::vector<StagedRun> runs;

    Runs() = default;
    Runs(const Runs&) = delete;
    Runs& operator=(const Runs&) = delete;
    ~Runs() {
        std::error_code ignored;
        for (const StagedRun& run : runs)
            if (!run.committed) fs::remove_all(run.dir, ignored);
    }
};

StagedWrite::StagedWrite() = default;
StagedWrite::StagedWrite(StagedWrite&&) noexcept = default;
StagedWrite& StagedWrite::operator=(StagedWrite&&) noexcept = default;
StagedWrite::~StagedWrite() = default;

std::size_t StagedWrite::size() const { return runs_ ? runs_->runs.size() : 0; }

StagedWrite RunRegistry::stage(const ExperimentResult& result) const {
    fs::create_directories(root_);
    StagedWrite staged;
    staged.runs_ = std::make_unique<StagedWrite::Runs>();
    StagedWrite::Runs& runs = *staged.runs_;
    runs.area = staging_;

    for (const RunRecord& run : result.runs) {
        StagedRun& staging = runs.runs.emplace_back();
        staging.dir = runs.area->newRunDirectory();
        staging.fixed = fixedDirectory(result.experiment, run.point, run.branch);
        staging.metadata = metadataLine(run) + "\n";
        staging.linePrefix = staging.metadata.substr(0, staging.metadata.size() - 2);
        staging.lineSuffix = "," + std::string(kMetricsOpening) + metricEntries(result, run) + "}}\n";
        staging.controls = !run.valid;

        // The directory the run will sit in is made now, on the computing
        // thread: a new directory is the dearest thing a commit could do.
        const fs::path parent = (root_ / fs::path(staging.fixed)).parent_path();
        if (::mkdir(parent.c_str(), 0777) != 0 && errno != EEXIST) fs::create_directories(parent);

        const fs::path& dir = staging.dir;
        writeFile(dir / kRunFiles[0], staging.metadata);
        writeFile(dir / kRunFiles[1], eventsCsv(run.spikes));
        writeFile(dir / kRunFiles[2], trajectoryCsv(run.trajectory));
        writeFile(dir / kRunFiles[3], run.synapse_log);
        writeFile(dir / kRunFiles[4], metricsJson(result, run));
        if (staging.controls) writeFile(dir / kControlsName, controlsJson(run));
    }
    return staged;
}

std::vector<fs::path> RunRegistry::commit(StagedWrite staged) const {
    std::vector<fs::path> written;
    if (!staged.runs_) return written;
    IndexAppender index(root_ / kIndexName);

    for (StagedRun& run : staged.runs_->runs) {
        const fs::path& from = run.dir;
        std::string relative = run.fixed;
        std::string named;
        fs::path dir = root_ / fs::path(relative);
        // A free place (absent, or an empty directory) takes the whole run
        // in one rename, so a run directory never shows half its files.
        bool moved = ::rename(from.c_str(), dir.c_str()) == 0;
        if (!moved) {
            // A run's metadata is its whole identity: the place is its own
            // when holding the same metadata (the copy is overwritten), and a
            // run of another identity there (another engine version, seed,
            // tolerance, or point values that share a label) keeps its
            // files. A metadata file that is not one whole line is what a
            // writer killed while writing it left, not a stored run.
            const std::optional<std::string> occupant = readSmallFile(dir / kRunFiles[0]);
            const bool occupied = occupant && !occupant->empty() && occupant->back() == '\n' &&
                                  isWholeObject(std::string_view(*occupant).substr(0, occupant->size() - 1));
            if (occupied && *occupant != run.metadata) {
                char digest[17];
                std::snprintf(digest, sizeof digest, "%016llx",
                              static_cast<unsigned long long>(stableHash64(run.metadata)));
                relative += "-" + std::string(digest, 12);
                named = relative;
                dir = root_ / fs::path(relative);
                moved = ::rename(from.c_str(), dir.c_str()) == 0;
            }
        }
        if (!moved) {
            // The place holds files already (or its parent, made by the
            // staging, went since): each staged file replaces its namesake,
            // the others stay.
            fs::create_directories(dir);
            for (const char* name :
                 {kRunFiles[0], kRunFiles[1], kRunFiles[2], kRunFiles[3], kRunFiles[4], kControlsName}) {
                if (name == kControlsName && !run.controls) continue;
                errno = 0;
                if (::rename((from / name).c_str(), (dir / name).c_str()) != 0)
                    throw InvalidExperiment(failure(kFileUnwritable, dir / name));
            }
            ::rmdir(from.c_str());
        }
        run.committed = true;
        for (const char* name : kRunFiles) written.push_back(dir / name);
        if (run.controls) written.push_back(dir / kControlsName);

        // Only after the run's files are in place: an index line names a
        // finished run.
        std::string line = run.linePrefix;
        if (!named.empty()) line += ",\"" + std::string(kDirectoryKey) + "\":" + quoted(std::as_const(named));
        index.append(line + run.lineSuffix);
    }
    return written;
}

std::vector<fs::path> RunRegistry::write(const ExperimentResult& result) const {
    std::vector<fs::path> written = commit(stage(result));
    removeAbandonedScratch();
    return written;
}

void RunRegistry::removeAbandonedScratch() const {
    std::error_code error;
    for (fs::directory_iterator entry(root_, error), end; !error && entry != end; entry.increment(error)) {
        const fs::path path = entry->path();
        if (!isScratchName(path.filename().string())) continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        // Only a directory nobody holds: its writer is gone.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
        ::close(fd);
    }
}

std::vector<std::string> RunRegistry::indexLines() const {
    std::vector<std::string> lines;
    forEachIndexLine(root_ / kIndexName,
                     [&lines](const NumberedLine& line) { lines.emplace_back(line.text); });
    return lines;
}

std::vector<RegistryEntry> RunRegistry::readIndex() const {
    std::vector<RegistryEntry> entries;
    forEachIndexLine(root_ / kIndexName, [&entries](const NumberedLine& line) {
        RegistryEntry& entry = entries.emplace_back();
        if (readWriterLine(line.text, entry, false)) return;
        const std::string text(line.text);
        entry = parseEntry(text);
        entry.directory = entryDirectory(text, entry);
    });
    return entries;
}

void RunRegistry::scanIndex(const std::function<void(RegistryEntry& entry, std::uint64_t line)>& visit,
                            std::vector<SkippedIndexLine>& skipped) const {
    RegistryEntry entry;
    forEachIndexLine(root_ / kIndexName, [&](const NumberedLine& line) {
        if (!readWriterLine(line.text, entry, true)) {
            try {
                const std::string text(line.text);
                entry = parseEntryNamingFields(text);
                entry.metrics = parseMetricsNamingValue(text);
                entry.directory = entryDirectory(text, entry);
            } catch (const std::exception& error) {
                skipped.push_back({line.number, error.what()});
                return;
            }
        }
        visit(entry, line.number);
    });
}

IndexScan RunRegistry::scanIndex() const {
    IndexScan scan;
    scanIndex(
        [&scan](RegistryEntry& entry, std::uint64_t line) {
            scan.entries.push_back(std::move(entry));
            scan.lines.push_back(line);
        },
        scan.skipped);
    return scan;
}

fs::path RunRegistry::runDirectory(const RegistryEntry& entry) const {
    return root_ / fs::path(entry.directory);
}

bool RunRegistry::runFilesPresent(const std::string& directory) const {
    // Called for every run a sweep reuses, so it costs one directory read
    // rather than a path walk per file: a name listed as a regular file is
    // one, and any other (a link, or a file system that does not tell the
    // type) is asked with stat, which follows links, as it always was.
    std::string path = (root_ / fs::path(directory)).native();
    path += '/';
    const std::size_t base = path.size();
    const auto statRegular = [&path, base](const char* name) {
        path.resize(base);
        path += name;
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    };
    bool found[std::size(kRunFiles)] = {};
    std::size_t count = 0;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (count < std::size(kRunFiles)) {
            const dirent* entry = ::readdir(dir);
            if (entry == nullptr) break;
            for (std::size_t f = 0; f < std::size(kRunFiles); ++f) {
                if (found[f] || std::strcmp(entry->d_name, kRunFiles[f]) != 0) continue;
                found[f] = entry->d_type == DT_REG || (entry->d_type != DT_DIR && statRegular(kRunFiles[f]));
                count += found[f] ? 1 : 0;
            }
        }
        ::closedir(dir);
        return count == std::size(kRunFiles);
    }
    // A directory that cannot be listed may still be searchable.
    for (const char* name : kRunFiles)
        if (!statRegular(name)) return false;
    return true;
}

std::optional<std::vector<ControlCheck>> RunRegistry::storedControls(const std::string& directory) const {
    const std::optional<std::string> text = readSmallFile(root_ / fs::path(directory) / kControlsName);
    if (!text || !isWholeObject(text->substr(0, text->find('\n')))) return std::nullopt;
    std::vector<ControlCheck> checks;
    // Each check is one flat object after "controls":[.
    std::size_t at = text->find("\"controls\":[");
    if (at == std::string::npos) return std::nullopt;
    try {
        while ((at = text->find('{', at)) != std::string::npos) {
            const std::size_t end = text->find('}', at);
            if (end == std::string::npos) return std::nullopt;
            const std::string object = text->substr(at, end - at + 1);
            ControlCheck check;
            const std::string statistic = field(object, "statistic");
            bool known = false;
            for (ControlStatistic candidate : {ControlStatistic::FiringRate, ControlStatistic::SpikeCount,
                                               ControlStatistic::IsiVariance}) {
                if (controlStatisticName(candidate) == statistic) {
                    check.statistic = candidate;
                    known = true;
                }
            }
            if (!known) return std::nullopt;
            check.control_value = metricValue(field(object, "control_value"));
            check.branch_value = metricValue(field(object, "branch_value"));
            check.deviation = metricValue(field(object, "deviation"));
            check.tolerance = metricValue(field(object, "tolerance"));
            check.within = field(object, "within") == "true";
            checks.push_back(check);
            at = end + 1;
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return checks;
}

std::vector<SkippedIndexLine> RunRegistry::mergeFrom(const RunRegistry& source, std::uint64_t& merged) const {
    merged = 0;
    std::vector<SkippedIndexLine> skipped;
    std::error_code error;
    const fs::path sourceRoot = fs::weakly_canonical(fs::absolute(source.root_), error);
    fs::create_directories(root_);
    IndexAppender index(root_ / kIndexName);
    forEachIndexLine(source.root_ / kIndexName, [&](const NumberedLine& numbered) {
        const OwnedLine line{numbered.number, std::string(numbered.text)};
        RegistryEntry entry;
        try {
            entry = parseEntryNamingFields(line.text);
            parseMetricsNamingValue(line.text);
        } catch (const std::exception& failure) {
            skipped.push_back({line.number, failure.what()});
            return;
        }
        entry.directory = entryDirectory(line.text, entry);
        const fs::path from = source.root_ / fs::path(entry.directory);
        // A run directory reached through a link that leads out of the
        // source registry is not read.
        const fs::path resolvedFrom = fs::weakly_canonical(fs::absolute(from), error);
        const bool inside = !error && std::mismatch(sourceRoot.begin(), sourceRoot.end(),
                                                    resolvedFrom.begin(), resolvedFrom.end())
                                              .first == sourceRoot.end();

        // The identity of the run is its metadata; without the file, the
        // index line's own identity stands for it.
        std::string_view identity = identityPart(line.text);
        const std::size_t named = directoryMember(identity);
        if (named != std::string_view::npos)
            identity = identity.substr(0, named);
        else if (!identity.empty() && identity.back() == ',')
            identity.remove_suffix(1);
        const std::optional<std::string> stored = inside ? readSmallFile(from / kRunFiles[0]) : std::nullopt;
        const std::string metadata = stored ? *stored : std::string(identity) + "}\n";

        const std::string fixed = fixedDirectory(entry.experiment, entry.point, entry.branch);
        std::string place = entry.directory;
        const std::optional<std::string> occupant = readSmallFile(root_ / fs::path(place) / kRunFiles[0]);
        if (occupant && *occupant != metadata) {
            char digest[17];
            std::snprintf(digest, sizeof digest, "%016llx",
                          static_cast<unsigned long long>(stableHash64(metadata)));
            place = fixed + "-" + std::string(digest, 12);
        }
        const fs::path to = root_ / fs::path(place);
        fs::create_directories(to);
        if (inside) {
            for (const char* name :
                 {kRunFiles[0], kRunFiles[1], kRunFiles[2], kRunFiles[3], kRunFiles[4], kControlsName}) {
                if (!fs::is_regular_file(fs::symlink_status(from / name, error))) continue;
                fs::copy_file(from / name, to / name, fs::copy_options::overwrite_existing);
            }
        }
        std::string mergedLine(identity);
        if (place != fixed)
            mergedLine += ",\"" + std::string(kDirectoryKey) + "\":" + "\"" + jsonEscape(place) + "\"";
        const std::size_t metrics = line.text.find(kMetricsOpening);
        const std::string_view rest =
            metrics == std::string::npos ? std::string_view() : std::string_view(line.text).substr(metrics);
        mergedLine += metrics == std::string::npos ? std::string("}") : "," + std::string(rest);
        while (!mergedLine.empty() &&
               (mergedLine.back() == ' ' || mergedLine.back() == '\t' || mergedLine.back() == '\r'))
            mergedLine.pop_back();
        index.append(mergedLine + "\n");
        ++merged;
    });
    return skipped;
}

std::vector<DamagedRun> RunRegistry::verify() const {
    std::vector<DamagedRun> damaged;
    const auto trimmed = [](std::string_view text) {
        const std::size_t end = text.find_last_not_of(" \t\r\n");
        return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
    };
    // From the metrics opening to the end: the same text in the index line
    // and in metrics.json for an intact run.
    const auto metricsPart = [&trimmed](std::string_view text) {
        const std::size_t at = text.find(kMetricsOpening);
        return at == std::string_view::npos ? std::string_view() : trimmed(text.substr(at));
    };
    forEachIndexLine(root_ / kIndexName, [&](const NumberedLine& numbered) {
        const OwnedLine line{numbered.number, std::string(numbered.text)};
        RegistryEntry entry;
        try {
            entry = parseEntryNamingFields(line.text);
            entry.metrics = parseMetricsNamingValue(line.text);
        } catch (const std::exception& error) {
            damaged.push_back(
                {line.number, "", std::string("the index line does not read: ") + error.what()});
            return;
        }
        entry.directory = entryDirectory(line.text, entry);
        const fs::path dir = runDirectory(entry);
        const auto report = [&](const std::string& problem) {
            damaged.push_back({line.number, entry.directory, problem});
        };
        std::string missing;
        for (const char* name : kRunFiles) {
            std::error_code error;
            if (!fs::is_regular_file(dir / name, error))
                missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
        if (!missing.empty()) {
            report("missing " + missing);
            return;
        }
        // The index line is the metadata line with the directory and the
        // metrics added before its closing brace.
        std::string_view identity = identityPart(trimmed(line.text));
        const std::size_t named = directoryMember(identity);
        if (named != std::string_view::npos)
            identity = identity.substr(0, named);
        else if (!identity.empty() && identity.back() == ',')
            identity.remove_suffix(1);
        const std::optional<std::string> metadata = readSmallFile(dir / kRunFiles[0]);
        if (!metadata || *metadata != std::string(identity) + "}\n")
            report("metadata.json does not match the index line");
        const std::optional<std::string> metrics = readSmallFile(dir / kRunFiles[4]);
        if (!metrics || metricsPart(*metrics) != metricsPart(line.text) ||
            field(*metrics, "valid") != (entry.valid ? "true" : "false") ||
            field(*metrics, "branch") != entry.branch)
            report("metrics.json does not match the index line");
    });
    return damaged;
}

std::vector<RegistryEntry> RunRegistry::loadEntries() const {
    // Every identity is read before any metrics, so a malformed identity
    // is reported ahead of a malformed metric value: the lines read by
    // member position have neither, the others keep their text until then.
    std::vector<RegistryEntry> entries;
    std::vector<std::pair<std::size_t, std::string>> others;
    forEachIndexLine(root_ / kIndexName, [&](const NumberedLine& line) {
        RegistryEntry& entry = entries.emplace_back();
        if (readWriterLine(line.text, entry, true)) return;
        std::string text(line.text);
        entry = parseEntry(text);
        entry.directory = entryDirectory(text, entry);
        others.emplace_back(entries.size() - 1, std::move(text));
    });
    for (const auto& [index, text] : others) entries[index].metrics = parseMetrics(text);
    return entries;
}

}  // namespace Core::Kvrn
