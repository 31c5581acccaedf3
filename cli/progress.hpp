#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// Progress of a running sweep on standard error.
namespace Core::Cli {

// "12/36 pairs, 4 reused, 00:05 elapsed, ~00:10 left". The estimate assumes
// that the pairs still to come must be executed, at the pace of the pairs
// executed so far; it is left out until one has been.
std::string progressLine(std::uint64_t done, std::uint64_t total, std::uint64_t reused,
                         double elapsedSeconds);

// Writes progress lines to a stream. On a terminal one line is rewritten in
// place (at most ten times a second); elsewhere a new line is written at
// most once a second. The last state is always written by finish().
class ProgressDisplay {
  public:
    ProgressDisplay(std::FILE* stream, bool terminal);
    void update(std::uint64_t done, std::uint64_t total, std::uint64_t reused);
    // Writes the final state (once) and ends the line.
    void finish();

  private:
    void write(bool final);

    std::FILE* stream_;
    bool terminal_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastWrite_;
    bool written_ = false;
    bool finished_ = false;
    std::size_t width_ = 0;  // of the line on the terminal, to blank it when the new one is shorter
    std::uint64_t done_ = 0, total_ = 0, reused_ = 0;
};

}  // namespace Core::Cli
