#include "cli/progress.hpp"

#include <algorithm>
#include <cmath>

namespace Core::Cli {

namespace {

std::string clock(double seconds) {
    const auto whole = static_cast<std::uint64_t>(std::llround(std::max(seconds, 0.0)));
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(whole / 3600),
                      static_cast<unsigned long long>(whole / 60 % 60),
                      static_cast<unsigned long long>(whole % 60));
    else
        std::snprintf(text, sizeof text, "%02llu:%02llu", static_cast<unsigned long long>(whole / 60),
                      static_cast<unsigned long long>(whole % 60));
    return text;
}

}  // namespace

std::string progressLine(std::uint64_t done, std::uint64_t total, std::uint64_t reused,
                         double elapsedSeconds) {
    std::string line = std::to_string(done) + "/" + std::to_string(total) + " pairs, " +
                       std::to_string(reused) + " reused, " + clock(elapsedSeconds) + " elapsed";
    const std::uint64_t executed = done - reused;
    if (done < total && executed > 0) {
        const double perPair = elapsedSeconds / static_cast<double>(executed);
        line += ", ~" + clock(perPair * static_cast<double>(total - done)) + " left";
    }
    return line;
}

ProgressDisplay::ProgressDisplay(std::FILE* stream, bool terminal)
    : stream_(stream), terminal_(terminal), start_(std::chrono::steady_clock::now()), lastWrite_(start_) {}

void ProgressDisplay::update(std::uint64_t done, std::uint64_t total, std::uint64_t reused) {
    done_ = done;
    total_ = total;
    reused_ = reused;
    const auto now = std::chrono::steady_clock::now();
    const auto interval = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    if (!written_ || now - lastWrite_ >= interval) write(false);
}

void ProgressDisplay::finish() {
    if (finished_) return;
    write(true);
    finished_ = true;
}

void ProgressDisplay::write(bool final) {
    const auto now = std::chrono::steady_clock::now();
    std::string text =
        progressLine(done_, total_, reused_, std::chrono::duration<double>(now - start_).count());
    if (terminal_) {
        const std::size_t width = text.size();
        if (width < width_) text.append(width_ - width, ' ');
        width_ = width;
        std::fprintf(stream_, "\r%s%s", text.c_str(), final ? "\n" : "");
    } else {
        std::fprintf(stream_, "%s\n", text.c_str());
    }
    std::fflush(stream_);
    lastWrite_ = now;
    written_ = true;
}

}  // namespace Core::Cli
