#include "serve.h"

#include <iostream>

namespace web {

int serve(const std::string&, const std::vector<std::string>&) {
    std::cerr << "korvofw-ledger: serve is not built yet\n";
    return 1;
}

} // namespace web
