// hecrypt.packed: the operations on packed ciphertexts.
#pragma once

#include "submodule.hpp"

namespace hecrypt::python {

Submodule packed_submodule();

}  // namespace hecrypt::python
