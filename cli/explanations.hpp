#pragma once

#include <string>

// English explanations of the declaration language's messages, which are
// Czech. The tool prints one under each language message it shows.
namespace Core::Cli {

// The English explanation and fix of the language message inside `message`
// (which may carry a file, line and context around it), or empty when the
// text holds no language message. When several table entries occur in the
// text, the longest one wins, so a specific entry beats a general one.
std::string explainMessage(const std::string& message);

// `text` line by line, each line that holds a language message followed by
// "  (en) <explanation>" on a line of its own.
std::string withExplanations(const std::string& text);

}  // namespace Core::Cli
