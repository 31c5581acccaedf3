#pragma once

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <string>

// One scratch directory per fuzzing process, removed when it ends.
namespace Fuzz {

class ScratchRoot {
  public:
    ScratchRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vostel-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~ScratchRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace Fuzz
