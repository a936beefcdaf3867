// Where events go: JSON lines for scripts, plain lines when the output is a pipe or a file,
// and on a terminal a progress bar (one per box when several are flashed at once).
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "service/event.h"

namespace qelflash {

enum class OutputFormat { Json, Plain, Terminal };

class Reporter {
  public:
    virtual ~Reporter() = default;
    virtual void Emit(const Event& event) = 0;
    // Nothing more comes; a bar still drawn is finished off.
    virtual void Close() {}
};

// ports: the labels of the boxes, in the order a terminal shows them (may be empty).
std::unique_ptr<Reporter> MakeReporter(OutputFormat format, std::FILE* out,
                                       const std::vector<std::string>& ports);

// Json when asked for, a terminal's bar when out is one, plain lines otherwise.
OutputFormat ChooseFormat(bool json, std::FILE* out);

// What an event says, in words, without its port: one or more lines without line ends.
std::vector<std::string> Describe(const Event& event);

// The result message without the padding the box's users know from bin2plv32.
std::string Trimmed(const std::string& text);

}  // namespace qelflash
