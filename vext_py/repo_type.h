#pragma once

#include "ref.h"

namespace vext_py {

// Returns a new reference to the Repo type, created on the first call.
PyObject* create_repo_type();

}  // namespace vext_py
