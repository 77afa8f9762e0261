// hecrypt.keyholder: what only the holder of a secret key does.
#pragma once

#include "submodule.hpp"

namespace hecrypt::python {

Submodule keyholder_submodule();

}  // namespace hecrypt::python
