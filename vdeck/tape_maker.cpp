#include "vdeck/tape_maker.h"

namespace vdeck {

bool MakeSampleTape(const std::string&, int, int, std::string* error) {
    *error = "this build has no DV encoder to make tapes with";
    return false;
}

}  // namespace vdeck
