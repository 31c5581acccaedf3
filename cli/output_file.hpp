#pragma once

#include <filesystem>
#include <stdexcept>
#include <string_view>

namespace Core::Cli {

// A file the tool was asked to write could not be written.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Writes `content` to a temporary file beside `path` and renames it over
// `path`, so a reader (or a crash) sees either the old file or the complete
// new one, never a part. Throws OutputError "cannot write <path>" and removes
// the temporary file when anything fails.
void writeFileAtomically(const std::filesystem::path& path, std::string_view content);

// Throws OutputError "cannot write <path>: no directory <dir>" unless the
// directory that would hold `path` exists; checked before long work starts.
void requireParentDirectory(const std::filesystem::path& path);

}  // namespace Core::Cli
