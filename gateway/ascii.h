// The gateway's name for the shared ASCII letter-case rules.
#pragma once

#include "quillgate/common/ascii.h"

namespace qg {
namespace ascii = quillgate::common::ascii;
}  // namespace qg
