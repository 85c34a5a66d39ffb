#pragma once

#include "ref.h"

#include <exception>
#include <new>

#include "common/fatal.h"
#include "state.h"

namespace vext_py {

// Sets the module's PanicException (a direct subclass of BaseException,
// created by init_binding) carrying `message`.
void raise_panic(const BindingState& state, const char* message);

// Runs one core call; no C++ exception escapes into the interpreter. An
// internal failure becomes PanicException, memory exhaustion MemoryError.
template <class F>
PyObject* call_core(const BindingState& state, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const vext::Fatal& e) {
    raise_panic(state, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(state, e.what());
  } catch (...) {
    raise_panic(state, "internal failure");
  }
  return nullptr;
}

}  // namespace vext_py
