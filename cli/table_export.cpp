#include "cli/table_export.hpp"

#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "common/format.hpp"

namespace Core::Cli {

namespace {

// One value of a row: text, a number, or missing.
struct Field {
    std::string name;
    std::optional<std::string> text;  // quoted in JSON
    std::optional<double> number;     // missing when not finite
    bool isText = false;
};

Field textField(std::string name, std::string text) { return {std::move(name), std::move(text), {}, true}; }

Field numberField(std::string name, std::optional<double> value) {
    if (value && !std::isfinite(*value)) value.reset();
    return {std::move(name), {}, value, false};
}

using Row = std::vector<Field>;

std::vector<Row> tableRows(const Kvrn::SweepResult& result) {
    std::vector<Row> rows;
    for (const Kvrn::SweepCell& cell : result.cells) {
        for (const std::string& metric : result.mapMetrics) {
            Row row;
            for (const Kvrn::SweepParameter& parameter : cell.point.parameters)
                row.push_back(numberField(parameter.name, parameter.value));
            row.push_back(textField("branch", cell.branch));
            row.push_back(textField("metric", metric));
            const auto found = cell.summaries.find(metric);
            const Kvrn::SampleSummary* summary = found == cell.summaries.end() ? nullptr : &found->second;
            const auto value = [&](double Kvrn::SampleSummary::*member) -> std::optional<double> {
                if (summary == nullptr) return std::nullopt;
                return summary->*member;
            };
            row.push_back(numberField("n", summary == nullptr ? 0.0 : static_cast<double>(summary->count)));
            row.push_back(numberField("mean", value(&Kvrn::SampleSummary::mean)));
            row.push_back(numberField("variance", value(&Kvrn::SampleSummary::variance)));
            row.push_back(numberField("lower", value(&Kvrn::SampleSummary::lower)));
            row.push_back(numberField("upper", value(&Kvrn::SampleSummary::upper)));
            row.push_back(numberField("invalid_runs", static_cast<double>(cell.invalidRuns)));
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

// The header names when there are no rows to take them from.
std::vector<std::string> columnNames(const Kvrn::SweepResult& result) {
    std::vector<std::string> names = result.axes;
    for (const char* name : {"branch", "metric", "n", "mean", "variance", "lower", "upper", "invalid_runs"})
        names.emplace_back(name);
    return names;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string csvTable(const std::vector<std::string>& names, const std::vector<Row>& rows) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) out += (i ? "," : "") + csvField(names[i]);
    out += "\n";
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i) out += ",";
            const Field& field = row[i];
            if (field.isText)
                out += csvField(*field.text);
            else
                out += field.number ? formatFull(*field.number) : "NA";
        }
        out += "\n";
    }
    return out;
}

std::string jsonTable(const std::vector<Row>& rows) {
    if (rows.empty()) return "[]\n";
    std::string out = "[\n";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out += "  {";
        for (std::size_t i = 0; i < rows[r].size(); ++i) {
            const Field& field = rows[r][i];
            if (i) out += ", ";
            out += jsonString(field.name) + ": ";
            if (field.isText)
                out += jsonString(*field.text);
            else
                out += field.number ? formatFull(*field.number) : "null";
        }
        out += r + 1 < rows.size() ? "},\n" : "}\n";
    }
    return out + "]\n";
}

std::vector<Row> contrastRows(const std::vector<Kvrn::PairedContrast>& contrasts) {
    std::vector<Row> rows;
    for (const Kvrn::PairedContrast& contrast : contrasts) {
        Row row;
        for (const Kvrn::SweepParameter& parameter : contrast.point.parameters)
            row.push_back(numberField(parameter.name, parameter.value));
        row.push_back(textField("branch", contrast.branch));
        row.push_back(textField("control", contrast.control));
        row.push_back(textField("metric", contrast.metric));
        const Kvrn::SampleSummary& d = contrast.difference;
        const bool any = d.count > 0;
        row.push_back(numberField("n", static_cast<double>(d.count)));
        row.push_back(numberField("mean_difference", any ? std::optional<double>(d.mean) : std::nullopt));
        row.push_back(numberField("variance", any ? std::optional<double>(d.variance) : std::nullopt));
        row.push_back(numberField("lower", any ? std::optional<double>(d.lower) : std::nullopt));
        row.push_back(numberField("upper", any ? std::optional<double>(d.upper) : std::nullopt));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> contrastColumnNames(const std::vector<std::string>& axes) {
    std::vector<std::string> names = axes;
    for (const char* name :
         {"branch", "control", "metric", "n", "mean_difference", "variance", "lower", "upper"})
        names.emplace_back(name);
    return names;
}

}  // namespace

std::string sweepTableCsv(const Kvrn::SweepResult& result) {
    return csvTable(columnNames(result), tableRows(result));
}

std::string sweepTableJson(const Kvrn::SweepResult& result) { return jsonTable(tableRows(result)); }

std::string contrastTableCsv(const std::vector<std::string>& axes,
                             const std::vector<Kvrn::PairedContrast>& contrasts) {
    return csvTable(contrastColumnNames(axes), contrastRows(contrasts));
}

std::string contrastTableJson(const std::vector<Kvrn::PairedContrast>& contrasts) {
    return jsonTable(contrastRows(contrasts));
}

std::filesystem::path contrastTablePath(const std::filesystem::path& table) {
    std::filesystem::path path = table;
    path.replace_filename(table.stem().string() + ".contrast" + table.extension().string());
    return path;
}

}  // namespace Core::Cli
