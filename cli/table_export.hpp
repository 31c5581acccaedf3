#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "sweep/contrast.hpp"
#include "sweep/sweep_runner.hpp"

// The sweep table as data files: one row per (point, branch) cell and
// declared metric, with the columns: one per axis (named after it, holding
// the point's value), branch, metric, n, mean, variance, lower, upper,
// invalid_runs. A cell without a summary of the metric has n = 0; numbers
// that are missing or not finite are written as NA in CSV and null in JSON.
// Numbers keep 17 significant digits, so they read back exactly.
namespace Core::Cli {

// RFC 4180 CSV with a header line; fields are quoted only when they must be.
std::string sweepTableCsv(const Kvrn::SweepResult& result);

// A JSON array of one object per row, keys in column order (the records
// layout that data-frame readers take directly).
std::string sweepTableJson(const Kvrn::SweepResult& result);

// The paired contrasts as a table of their own, one row per point,
// intervention branch and metric, with the columns: one per axis, branch,
// control, metric, n (seeds with both runs valid), mean_difference (branch
// minus control), variance, lower, upper. Same number rules as above.
std::string contrastTableCsv(const std::vector<std::string>& axes,
                             const std::vector<Kvrn::PairedContrast>& contrasts);
std::string contrastTableJson(const std::vector<Kvrn::PairedContrast>& contrasts);

// Where the contrast table goes beside a sweep table: s1.csv -> s1.contrast.csv.
std::filesystem::path contrastTablePath(const std::filesystem::path& table);

}  // namespace Core::Cli
