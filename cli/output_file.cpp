#include "cli/output_file.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>

#include <fcntl.h>
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

std::filesystem::path resolvedPath(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return path.lexically_normal();
    std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : resolved;
}

bool isWithin(const std::filesystem::path& path, const std::filesystem::path& base) {
    const std::filesystem::path inner = resolvedPath(path);
    const std::filesystem::path outer = resolvedPath(base);
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // the empty last element of a path ending in "/"
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

bool isStreamOutput(const std::filesystem::path& path) {
    const std::string text = std::filesystem::absolute(path).lexically_normal().string();
    if (text.rfind("/dev/", 0) == 0 || text.rfind("/proc/", 0) == 0) return true;
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
           !std::filesystem::is_directory(status);
}

void requireWritableOutput(const std::filesystem::path& path) {
    const std::string refusal = "cannot write " + path.string() + ": ";
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw OutputError(refusal + "it is a directory");
    if (isStreamOutput(path)) {
        if (::access(path.c_str(), W_OK) != 0) throw OutputError(refusal + std::strerror(errno));
        return;
    }
    requireParentDirectory(path);
    const std::filesystem::path target = resolvedPath(path);
    const std::filesystem::path directory = directoryOf(target);
    if (!std::filesystem::is_directory(directory, error))
        throw OutputError(refusal + "no directory " + directory.string());
    if (::access(directory.c_str(), W_OK) != 0)
        throw OutputError(refusal + "directory " + directory.string() + ": " + std::strerror(errno));
    if (std::filesystem::exists(target, error) && ::access(target.c_str(), W_OK) != 0)
        throw OutputError(refusal + std::strerror(errno));
}

void writeOutputFile(const std::filesystem::path& path, std::string_view content) {
    if (!isStreamOutput(path)) {
        std::error_code error;
        const bool link = std::filesystem::is_symlink(path, error);
        writeFileAtomically(link ? resolvedPath(path) : path, content);
        return;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) throw OutputError("cannot write " + path.string() + ": " + std::strerror(errno));
    std::string_view rest = content;
    while (!rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            const std::string cause = written < 0 ? std::strerror(errno) : "nothing was written";
            ::close(fd);
            throw OutputError("cannot write " + path.string() + ": " + cause);
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    ::close(fd);
}

}  // namespace Core::Cli
