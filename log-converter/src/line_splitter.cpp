#include "line_splitter.h"

namespace vrex {

std::string overlongLineWarning(std::size_t limit, std::string_view source) {
    std::string text = "Dropping a line longer than " + std::to_string(limit) + " bytes in ";
    text.append(source);
    return text;
}

void LineSplitter::skipToNextLine() {
    std::string().swap(tail_);
    discarding_ = true;
}

void LineSplitter::reset() {
    std::string().swap(tail_);
    discarding_ = false;
    pending_ = 0;
}

}  // namespace vrex
