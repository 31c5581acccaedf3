#pragma once

// Runs the vostel binary (VOSTEL_BINARY, set by the build) as a child process
// with its standard output and error going to files, plus the file helpers
// the tests that drive it share.

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Testing {

// The whole file, or "" when it cannot be opened (a registry index may not exist yet).
inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Every file below `root`, by relative path, with its content.
inline std::map<std::string, std::string> fileTree(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = readText(entry.path());
    return files;
}

// The report without its "Runs:" line, which differs between a pass that
// executes and one that reuses.
inline std::string withoutRunsLine(const std::string& report) {
    std::istringstream in(report);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Runs:", 0) != 0) kept += line + "\n";
    return kept;
}

struct Finished {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A vostel process; its output goes to `name`.out and `name`.err in `work`.
class VostelProcess {
  public:
    VostelProcess(const std::vector<std::string>& arguments, const std::filesystem::path& work,
                  const std::string& name)
        : out_(work / (name + ".out")), err_(work / (name + ".err")) {
        std::vector<std::string> argv = {VOSTEL_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> pointers;
        for (std::string& a : argv) pointers.push_back(a.data());
        pointers.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        const int failed = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
    }

    // True once the process has ended (it is then reaped); does not block.
    bool ended() { return status_ >= 0 || reap(WNOHANG); }

    void signal(int number) const {
        if (status_ < 0) ::kill(pid_, number);
    }

    // Blocks until the process ends.
    Finished wait() {
        if (status_ < 0) reap(0);
        return {status_, readText(out_), readText(err_)};
    }

  private:
    bool reap(int options) {
        int raw = 0;
        if (::waitpid(pid_, &raw, options) != pid_) return false;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
    }

    std::filesystem::path out_, err_;
    pid_t pid_ = 0;
    int status_ = -1;
};

}  // namespace Testing
