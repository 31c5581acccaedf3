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

// The path as the file system resolves it: absolute, with every symbolic
// link followed and "." and ".." gone; for a path that does not exist yet,
// its longest existing beginning is resolved.
std::filesystem::path resolvedPath(const std::filesystem::path& path);

// True when `path` is `base` or lies below it (both resolved first).
bool isWithin(const std::filesystem::path& path, const std::filesystem::path& base);

// True for an output that is a stream rather than a file to replace: a path
// below /dev or /proc (such as /dev/stdout) or an existing device, pipe or
// socket. Such an output is written into, never replaced.
bool isStreamOutput(const std::filesystem::path& path);

// Refuses, before long work starts, an output that could not be written:
// OutputError "cannot write <path>: <cause>" for a directory, a missing or
// unwritable directory to hold it, or an existing file or stream that is not
// writable.
void requireWritableOutput(const std::filesystem::path& path);

// Writes an output the user asked for. A stream output (isStreamOutput) is
// opened for appending and written into; a symbolic link keeps pointing
// where it did and its target is replaced atomically; any other path is
// replaced atomically (writeFileAtomically).
void writeOutputFile(const std::filesystem::path& path, std::string_view content);

}  // namespace Core::Cli
