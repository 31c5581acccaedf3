#include "cli/output_file.hpp"

#include <fstream>
#include <string>
#include <system_error>

#include <unistd.h>

namespace Core::Cli {

namespace {

std::filesystem::path directoryOf(const std::filesystem::path& path) {
    const std::filesystem::path parent = path.parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view content) {
    // The temporary name is unique per process; it lives in the target's own
    // directory so the rename stays within one file system.
    std::filesystem::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid());
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
            out.close();
            written = !out.fail();
        }
    }
    std::error_code error;
    if (written) std::filesystem::rename(temporary, path, error);
    if (!written || error) {
        std::filesystem::remove(temporary, error);
        throw OutputError("cannot write " + path.string());
    }
}

void requireParentDirectory(const std::filesystem::path& path) {
    const std::filesystem::path directory = directoryOf(path);
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error))
        throw OutputError("cannot write " + path.string() + ": no directory " + directory.string());
}

}  // namespace Core::Cli
