#include "line_data.h"

namespace web {

int LineReader::read(int64_t, LineTexts&, std::string& error) {
    error = "the line's data is not read yet";
    return -1;
}

} // namespace web
