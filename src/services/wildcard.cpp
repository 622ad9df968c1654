#include "services/wildcard.h"

namespace hux {

void expandArguments(int32_t argc, char** argv, int /*mode*/, StringList& out) {
    for (int32_t i = 0; i < argc; ++i) out.append(std::string_view(argv[i]));
}

}  // namespace hux
